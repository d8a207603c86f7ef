// The COM layer against the simulated client's IDispatch face: class factories, the
// connection object reaching the core, event sinks and host failures.
#include <gtest/gtest.h>
#include <olectl.h>

#include <functional>
#include <string>

#include "com_objects.h"
#include "core/failure.h"
#include "event_sink.h"
#include "extensibility.h"
#include "host_dispatch.h"
#include "module.h"
#include "parvex_ids.h"
#include "scripted/scripted_services.h"
#include "sim/sim_face.h"
#include "sim/sim_outlook.h"
#include "text_win32.h"
#include "win32_handles.h"

namespace parvex::com {
namespace {

// A core that records what reaches it and uses the host as Connect does.
struct Recorder {
  std::vector<std::string> calls;
  int32_t explorers = -1;
  bool fail = false;
};

class RecordingCore final : public host::Connection {
 public:
  explicit RecordingCore(Recorder& r) : r_(r) {}
  void OnConnection(host::Ref<host::Application> app, host::ConnectMode mode,
                    host::Ref<host::AddIn>) override {
    if (r_.fail) raise(err::kPathNotFound, "Path not found");
    r_.calls.push_back("OnConnection " + std::to_string(static_cast<int>(mode)));
    r_.explorers = app->GetExplorers()->Count();
  }
  void OnDisconnection(host::DisconnectMode m) override {
    r_.calls.push_back("OnDisconnection " + std::to_string(static_cast<int>(m)));
  }
  void OnAddInsUpdate() override { r_.calls.push_back("OnAddInsUpdate"); }
  void OnStartupComplete() override { r_.calls.push_back("OnStartupComplete"); }
  void OnBeginShutdown() override { r_.calls.push_back("OnBeginShutdown"); }

 private:
  Recorder& r_;
};

class ComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    baseline_ = live_objects();
    set_connection_factory([this] { return std::make_unique<RecordingCore>(recorder_); });
  }
  void TearDown() override {
    set_connection_factory(nullptr);
    EXPECT_EQ(live_objects(), baseline_) << "an object of ours outlived the test";
    CoUninitialize();
  }
  template <class T>
  HRESULT create(const GUID& clsid, const IID& iid, ComPtr<T>& out, IUnknown* outer = nullptr) {
    ComPtr<IClassFactory> factory;
    const HRESULT hr =
        get_class_object(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(outer, iid, reinterpret_cast<void**>(out.put()));
  }
  Recorder recorder_;
  long baseline_ = 0;
  sim::SimOutlook outlook_;
  std::shared_ptr<sim::Counters> held_ = std::make_shared<sim::Counters>();
};

TEST_F(ComTest, ClassFactoriesServeOurFiveClassesOnly) {
  ComPtr<IUnknown> object;
  EXPECT_EQ(create(IID_IDispatch, IID_IUnknown, object), CLASS_E_CLASSNOTAVAILABLE);
  const auto outer = sim::face::addin(outlook_.addin(), held_);
  for (const auto& c : kPublicClasses) {
    SCOPED_TRACE(::testing::Message() << win::narrow(c.name));
    ComPtr<IUnknown> outer_refused;
    EXPECT_EQ(create(c.clsid, IID_IUnknown, outer_refused, outer.get()), CLASS_E_NOAGGREGATION);
    ComPtr<IDispatch> d;
    ASSERT_EQ(create(c.clsid, IID_IDispatch, d), S_OK);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(d->GetTypeInfo(0, 0, info.put()), S_OK);
    pvx::win::unique_bstr name;
    info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr);
    EXPECT_EQ(std::wstring(name ? name.get() : L""), std::wstring(L"_") + c.name);
  }
  ComPtr<IClassFactory> factory;
  get_class_object(kClsidConnect, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
  factory->LockServer(TRUE);
  EXPECT_EQ(live_objects(), baseline_ + 2);  // the factory and its lock
  factory->LockServer(FALSE);
}

TEST_F(ComTest, ConnectHandsEachCallToTheCore) {
  outlook_.open_explorer("Inbox");
  const auto app = sim::face::application(outlook_.application(), held_);
  const auto addin = sim::face::addin(outlook_.addin(), held_);
  ComPtr<IDTExtensibility2> connect;
  ASSERT_EQ(create(kClsidConnect, kIidIDTExtensibility2, connect), S_OK);
  SAFEARRAY* custom = nullptr;
  EXPECT_EQ(connect->OnConnection(app.get(), ext_cm_Startup, addin.get(), &custom), S_OK);
  EXPECT_EQ(recorder_.explorers, 1);
  // Late-bound too: OnStartupComplete(custom) by its dispatch id.
  VARIANT arg;
  arg.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
  arg.pparray = &custom;
  DISPPARAMS params{&arg, nullptr, 1, 0};
  EXPECT_EQ(connect->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(connect->OnDisconnection(ext_dm_UserClosed, &custom), S_OK);
  EXPECT_EQ(recorder_.calls,
            (std::vector<std::string>{"OnConnection 1", "OnStartupComplete", "OnDisconnection 1"}));
  EXPECT_EQ(held_->references, 2) << "the core kept a host object";

  // A core failure reaches the host as its number and text, which a host reads only from an
  // object that says it leaves one.
  recorder_.fail = true;
  EXPECT_EQ(connect->OnConnection(app.get(), ext_cm_Startup, addin.get(), &custom),
            MAKE_HRESULT(SEVERITY_ERROR, 0x0A, err::kPathNotFound));
  ComPtr<ISupportErrorInfo> support;
  ASSERT_EQ(connect->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.put())),
            S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(kIidIDTExtensibility2), S_OK);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  pvx::win::unique_bstr description;
  info->GetDescription(description.put());
  EXPECT_EQ(std::wstring(description.get()), L"Path not found");
}

TEST_F(ComTest, SinksReadArgumentsInDeclaredOrderAndWriteCancelBack) {
  const auto mail = outlook_.new_mail("Subject");
  const auto inbox = outlook_.open_explorer("Inbox");
  const auto face = sim::face::item(mail, held_);
  int sends = 0;
  {
    const auto on_send = make_item(face.get())->OnSend([&](bool& cancel) {
      ++sends;
      cancel = true;
    });
    const auto button = sim::face::button(
        inbox->GetCommandBars()->GetItem("Standard")->GetControls()->Add(1, true), held_);
    const auto on_click =
        make_button(button.get())->OnClick([](host::Ref<host::CommandBarButton> ctrl, bool&) {
          ctrl->SetCaption("seen");  // Ctrl is the first argument
        });
    EXPECT_FALSE(outlook_.send(mail));
    inbox->command_bars()->bar("standard")->buttons().at(0)->click();
    EXPECT_EQ(inbox->command_bars()->bar("standard")->buttons().at(0)->caption(), "seen");
    EXPECT_EQ(held_->subscriptions, 2);
  }
  EXPECT_EQ(held_->subscriptions, 0);  // the subscriptions ended with their objects
  EXPECT_EQ(sends, 1);

  // A failing handler is reported back to the raiser, not thrown across COM.
  {
    const auto failing =
        make_item(face.get())->OnSend([](bool&) { raise(err::kInvalidCall, "no"); });
    EXPECT_TRUE(outlook_.send(mail));
    ASSERT_EQ(outlook_.event_failures().size(), 1u);
    EXPECT_NE(outlook_.event_failures()[0].description().find("no"), std::string::npos);
  }

  // A reply in the reading pane arrives with its item; the main window is reached as an OLE
  // window, disabled and enabled again (a real one where this process can make windows).
  const auto explorer = make_explorer(sim::face::explorer(inbox, held_).get());
  std::string reply;
  const auto on_reply =
      explorer->OnInlineResponse([&](host::Ref<host::Item> item) { reply = item->Subject(); });
  inbox->set_inline_response(outlook_.new_mail("Re: x"));
  EXPECT_EQ(reply, "Re: x");
  EXPECT_EQ(explorer->WindowHandle(), inbox->handle());
  if (IsWindow(reinterpret_cast<HWND>(inbox->handle()))) {
    EXPECT_TRUE(explorer->EnableWindow(false));
    EXPECT_FALSE(inbox->enabled());
    EXPECT_FALSE(explorer->EnableWindow(true));
    EXPECT_TRUE(inbox->enabled());
  } else {
    EXPECT_THROW(explorer->EnableWindow(false), Failure);
  }
}

TEST_F(ComTest, FailedHostCallsArriveWithTheHostsNumberAndText) {
  const auto mail = outlook_.new_mail("Subject");
  mail->attach_bytes("a.bin", "bytes");
  const auto item = make_item(sim::face::item(mail, held_).get());
  const auto attachments = item->GetAttachments();
  ASSERT_EQ(attachments->Count(), 1);
  const auto attachment = attachments->GetItem(1);
  struct Case {
    const char* what;
    std::function<void()> call;
    HRESULT number;
    const char* text;
  };
  const Case cases[] = {
      {"save into a missing folder",
       [&] { attachment->SaveAsFile("C:\\no\\such\\folder\\file.bin"); },
       MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, err::kPathNotFound), "Path not found"},
      {"index past the end", [&] { attachments->GetItem(2); }, E_FAIL, "out of bounds"},
      {"a member the object lacks",
       [&] { make_item(sim::face::addin(outlook_.addin(), held_).get())->Class(); },
       DISP_E_UNKNOWNNAME, ""},
      {"a call told to fail",
       [&] {
         outlook_.fail("Item.Class", 1);
         item->Class();
       },
       E_FAIL, "The host call Item.Class failed."},
  };
  for (const auto& c : cases) {
    const Failure f = testing::failure_of(c.call);
    EXPECT_EQ(f.number(), static_cast<int32_t>(c.number)) << c.what;
    EXPECT_NE(f.description().find(c.text), std::string::npos) << c.what << ": " << f.description();
  }
  EXPECT_EQ(item->Class(), 43);  // told once, failed once
}

}  // namespace
}  // namespace parvex::com
