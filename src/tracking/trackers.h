// The two trackers owned by the connection: they follow the host's main windows (explorers)
// and item windows (inspectors), and the inspector tracker binds the mail item whose sending
// the add-in intercepts.
#pragma once

#include <memory>

#include "host/host.h"
#include "tracking/window_tracking.h"

namespace parvex {

// The two events a send may raise: the item's own Send and the application's ItemSend.
enum class SendEvent { item, application };

// Both events of one send come here, in whichever order the host raises them: the first packs
// the item, the other of the pair lets it pass. A send already cancelled is left alone.
void send_once(SendEvent event, const host::Ref<host::Item>& item, bool& Cancel);
// Forgets the send half-seen, and the item it holds.
void forget_sends();

class clsOutlookExplorerEvents {
 public:
  clsOutlookExplorerEvents() = default;
  clsOutlookExplorerEvents(const clsOutlookExplorerEvents&) = delete;
  clsOutlookExplorerEvents& operator=(const clsOutlookExplorerEvents&) = delete;

  void Init(host::Ref<host::Application> application);  // every step attempted
  void Shutdown();                                      // every step attempted
  void colExplorers_NewExplorer(host::Ref<host::Explorer> explorer);
  void objOutlook_Startup();

 private:
  host::Ref<host::Application> objOutlook;
  host::SubscriptionPtr outlook_events_;
  host::Ref<host::Explorers> colExplorers;
  host::SubscriptionPtr explorers_events_;
  host::Ref<host::Explorer> lclExplorer;
};

class clsOutlookInspectorEvents {
 public:
  clsOutlookInspectorEvents() = default;
  clsOutlookInspectorEvents(const clsOutlookInspectorEvents&) = delete;
  clsOutlookInspectorEvents& operator=(const clsOutlookInspectorEvents&) = delete;

  void Init(host::Ref<host::Application> application);  // every step attempted
  void Shutdown();                                      // every step attempted
  void colInspectors_NewInspector(host::Ref<host::Inspector> inspector);
  void objOutlook_Startup();  // no local handling: a failure goes back to the host
  // Events of objMailItem: the send packs its attachments into one archive, the read logs.
  void objMailItem_Send(bool& Cancel);
  void objMailItem_Read();

  // The mail item of the most recently opened mail inspector, or null.
  const host::Ref<host::Item>& objMailItem() const { return objMailItem_; }
  const host::Ref<host::Inspector>& objInspector() const { return objInspector_; }

 private:
  // Binds the item's Read and Send events, ending those of the previous item.
  void set_mail_item(host::Ref<host::Item> item);
  void release_mail_item();

  host::Ref<host::Application> objOutlook;
  host::SubscriptionPtr outlook_events_;
  host::Ref<host::Inspectors> colInspectors;
  host::SubscriptionPtr inspectors_events_;
  host::Ref<host::Inspector> objInspector_;
  host::Ref<host::Item> objMailItem_;
  host::SubscriptionPtr objMailItem_read_;
  host::SubscriptionPtr objMailItem_send_;
};

}  // namespace parvex
