// The COM layer against the scripted mail client's objects: registration keys, class
// factories, the connection object reaching the core, event sinks and host failures.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "com_objects.h"
#include "core/failure.h"
#include "event_sink.h"
#include "extensibility.h"
#include "fake_outlook.h"
#include "host_dispatch.h"
#include "module.h"
#include "own_module.h"
#include "parvex_ids.h"
#include "registration.h"
#include "text_win32.h"
#include "win32_handles.h"

namespace parvex::com {
namespace {

using Dump = std::map<std::wstring, std::wstring>;  // "key|value name" -> data

Dump dump(HKEY key, const std::wstring& path = L"", Dump out = {}) {
  wchar_t name[256], data[1024];
  for (DWORD i = 0;; ++i) {
    DWORD name_len = 256, data_size = sizeof data, type = 0;
    if (RegEnumValueW(key, i, name, &name_len, nullptr, &type, reinterpret_cast<BYTE*>(data),
                      &data_size) != ERROR_SUCCESS)
      break;
    DWORD number = 0;
    std::memcpy(&number, data, sizeof number);
    out[path + L"|" + name] = type == REG_DWORD ? std::to_wstring(number) : std::wstring(data);
  }
  out[path + L"|"] += L"";  // the key itself, even when it holds no value
  for (DWORD i = 0;; ++i) {
    DWORD name_len = 256;
    if (RegEnumKeyExW(key, i, name, &name_len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    pvx::win::unique_hkey sub;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, sub.put()) == ERROR_SUCCESS)
      out = dump(sub.get(), path + L"\\" + name, std::move(out));
  }
  return out;
}

std::wstring text(const GUID& g) {
  wchar_t buf[40];
  StringFromGUID2(g, buf, 40);
  return buf;
}

constexpr wchar_t kTestRoot[] = L"Software\\ParvexComTest";

// Points HKCU, HKLM and HKCR of this process at scratch keys, with siblings of ours in place
// that registration must leave alone.
class Registry {
 public:
  // A machine part that cannot be written: read-only, and volatile (wine does not check the
  // parent's access, but no lasting key may be made under a volatile one).
  explicit Registry(bool machine_writable) {
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestRoot);
    const std::wstring root = kTestRoot;
    create(root + L"\\user", false);  // first: a volatile parent would make the root volatile
    create(root + L"\\machine", !machine_writable);
    for (const wchar_t* part : {L"\\user\\Software", L"\\machine\\SOFTWARE"}) {
      // Keys every system has, with a sibling of ours in each.
      for (const wchar_t* k : {L"\\Classes\\CLSID\\{00000000-1111-2222-3333-444444444444}",
                               L"\\Classes\\Interface\\{00000000-1111-2222-3333-444444444444}",
                               L"\\Classes\\TypeLib\\{00000000-1111-2222-3333-444444444444}",
                               L"\\Microsoft\\Office\\Outlook\\Addins\\Other.Connect"})
        create(root + part + k, !machine_writable && part[2] == L'm');
    }
    RegOpenKeyExW(HKEY_CURRENT_USER, (root + L"\\user").c_str(), 0, KEY_ALL_ACCESS, user_.put());
    RegOpenKeyExW(HKEY_CURRENT_USER, (root + L"\\machine").c_str(), 0,
                  machine_writable ? KEY_ALL_ACCESS : KEY_READ, machine_.put());
    RegOverridePredefKey(HKEY_CURRENT_USER, user_.get());
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_.get());
  }
  ~Registry() {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestRoot);
  }
  bool ok() const { return user_ && machine_; }
  Dump user() const { return dump(user_.get()); }
  Dump machine() const { return dump(machine_.get()); }

 private:
  static void create(const std::wstring& path, bool is_volatile) {
    pvx::win::unique_hkey key;
    RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr,
                    is_volatile ? REG_OPTION_VOLATILE : 0, KEY_ALL_ACCESS, nullptr, key.put(),
                    nullptr);
  }
  pvx::win::unique_hkey user_, machine_;
};

struct RegistrationCase {
  bool machine_writable, classes_visible;
  HRESULT expected;      // for a failure, only that it fails
  bool machine_classes;  // the classes registered machine-wide as well
};

class RegistrationTest : public testing::TestWithParam<RegistrationCase> {};

TEST_P(RegistrationTest, RegisterTwiceThenUnregister) {
  const auto& c = GetParam();
  const Registry reg(c.machine_writable);
  ASSERT_TRUE(reg.ok()) << "scratch keys missing: registration would reach the real registry";
  const auto resolves = c.classes_visible ? +[] { return true; } : +[] { return false; };
  const Dump user_before = reg.user(), machine_before = reg.machine();
  const std::wstring path = win::own_module_path();

  const HRESULT hr = register_server(path, resolves);
  ASSERT_TRUE(SUCCEEDED(c.expected) ? hr == c.expected : FAILED(hr)) << std::hex << hr;
  const Dump user = reg.user(), machine = reg.machine();
  if (SUCCEEDED(c.expected)) {
    const std::wstring addin = L"\\Software\\Microsoft\\Office\\Outlook\\Addins\\Parvex.Connect|";
    const std::wstring clsid = L"\\Software\\Classes\\CLSID\\" + text(kClsidConnect);
    const std::wstring lib = L"\\Software\\Classes\\TypeLib\\" + text(kLibId) + L"\\1.0";
    const std::map<std::wstring, std::wstring> expected = {
        {addin + L"FriendlyName", L"Parvex"},
        {addin + L"Description", L"Parvex"},
        {addin + L"LoadBehavior", L"3"},
        {clsid + L"\\InprocServer32|", path},
        {clsid + L"\\InprocServer32|ThreadingModel", L"Apartment"},
        {clsid + L"\\ProgID|", L"Parvex.Connect"},
        {L"\\Software\\Classes\\Parvex.Connect\\CLSID|", text(kClsidConnect)},
        {lib + L"|", L"Parvex"},
        {lib + (sizeof(void*) == 8 ? L"\\0\\win64|" : L"\\0\\win32|"), path},
        {L"\\Software\\Classes\\Interface\\" + text(kPublicClasses[0].iid) + L"\\TypeLib|",
         text(kLibId)},
    };
    for (const auto& [k, v] : expected)
      EXPECT_EQ(user.count(k) ? user.at(k) : L"<missing>", v) << k;
    const std::wstring data = L"\\SOFTWARE\\Microsoft\\Office\\Outlook\\Addins\\Parvex|Path";
    EXPECT_EQ(machine.count(data), c.machine_writable ? 1u : 0u);
    EXPECT_EQ(machine.count(L"\\SOFTWARE\\Classes\\Parvex.Connect\\CLSID|"),
              c.machine_classes ? 1u : 0u);
    // Registering again leaves the same single registration.
    EXPECT_EQ(register_server(path, resolves), c.expected);
    EXPECT_EQ(reg.user(), user);
    EXPECT_EQ(reg.machine(), machine);
  } else {
    EXPECT_EQ(user, user_before);  // a registration the host cannot use leaves nothing
  }
  EXPECT_TRUE(SUCCEEDED(unregister_server()));
  EXPECT_EQ(reg.user(), user_before);
  EXPECT_EQ(reg.machine(), machine_before);
}

INSTANTIATE_TEST_SUITE_P(MachineAccessAndClassVisibility, RegistrationTest,
                         testing::Values(RegistrationCase{true, true, S_OK, false},
                                         RegistrationCase{false, true, S_FALSE, false},
                                         RegistrationCase{true, false, S_OK, true},
                                         RegistrationCase{false, false,
                                                          HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
                                                          false}));

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

class ComTest : public testing::Test {
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
  HRESULT create(const GUID& clsid, const IID& iid, fake::ComPtr<T>& out,
                 IUnknown* outer = nullptr) {
    fake::ComPtr<IClassFactory> factory;
    const HRESULT hr =
        get_class_object(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(outer, iid, reinterpret_cast<void**>(out.put()));
  }
  Recorder recorder_;
  long baseline_ = 0;
};

TEST_F(ComTest, ClassFactoriesServeOurFiveClassesOnly) {
  fake::ComPtr<IUnknown> object;
  EXPECT_EQ(create(IID_IDispatch, IID_IUnknown, object), CLASS_E_CLASSNOTAVAILABLE);
  const auto outer = fake::make<fake::AddIn>();
  for (const auto& c : kPublicClasses) {
    SCOPED_TRACE(testing::Message() << win::narrow(c.name));
    fake::ComPtr<IUnknown> outer_refused;
    EXPECT_EQ(create(c.clsid, IID_IUnknown, outer_refused, outer->dispatch()),
              CLASS_E_NOAGGREGATION);
    fake::ComPtr<IDispatch> d;
    ASSERT_EQ(create(c.clsid, IID_IDispatch, d), S_OK);
    fake::ComPtr<ITypeInfo> info;
    ASSERT_EQ(d->GetTypeInfo(0, 0, info.put()), S_OK);
    pvx::win::unique_bstr name;
    info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr);
    EXPECT_EQ(std::wstring(name ? name.get() : L""), std::wstring(L"_") + c.name);
  }
  fake::ComPtr<IClassFactory> factory;
  get_class_object(kClsidConnect, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
  factory->LockServer(TRUE);
  EXPECT_EQ(live_objects(), baseline_ + 2);  // the factory and its lock
  factory->LockServer(FALSE);
}

TEST_F(ComTest, ConnectHandsEachCallToTheCore) {
  auto app = fake::make<fake::Application>();
  auto addin = fake::make<fake::AddIn>();
  app->open_explorer(L"Inbox");
  fake::ComPtr<IDTExtensibility2> connect;
  ASSERT_EQ(create(kClsidConnect, kIidIDTExtensibility2, connect), S_OK);
  SAFEARRAY* custom = nullptr;
  EXPECT_EQ(connect->OnConnection(app->dispatch(), ext_cm_Startup, addin->dispatch(), &custom),
            S_OK);
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

  // A core failure reaches the host as its number and text.
  recorder_.fail = true;
  EXPECT_EQ(connect->OnConnection(app->dispatch(), ext_cm_Startup, addin->dispatch(), &custom),
            MAKE_HRESULT(SEVERITY_ERROR, 0x0A, err::kPathNotFound));
  fake::ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  pvx::win::unique_bstr description;
  info->GetDescription(description.put());
  EXPECT_EQ(std::wstring(description.get()), L"Path not found");
}

TEST_F(ComTest, SinksReadArgumentsInDeclaredOrderAndWriteCancelBack) {
  auto mail = fake::make<fake::MailItem>(L"Subject");
  auto button = fake::make<fake::CommandBarButton>();
  int sends = 0;
  {
    const auto item = make_item(mail->dispatch());
    const auto on_send = item->OnSend([&](bool& cancel) {
      ++sends;
      cancel = true;
    });
    const auto on_click = make_button(button->dispatch())
                              ->OnClick([](host::Ref<host::CommandBarButton> ctrl, bool& cancel) {
                                ctrl->SetCaption("seen");  // Ctrl is the first argument
                                cancel = !cancel;
                              });
    EXPECT_TRUE(mail->send());
    EXPECT_TRUE(button->click());
    EXPECT_EQ(button->caption(), L"seen");
    EXPECT_EQ(mail->advised(), 1u);
  }
  EXPECT_EQ(mail->advised(), 0u);  // the subscription ended with its object
  EXPECT_EQ(sends, 1);

  // A failing handler is reported back to the raiser, not thrown across COM.
  const long before = fake::Object::sink_failures;
  const auto failing =
      make_item(mail->dispatch())->OnSend([](bool&) { raise(err::kInvalidCall, "no"); });
  EXPECT_FALSE(mail->send());
  EXPECT_EQ(fake::Object::sink_failures, before + 1);
}

TEST_F(ComTest, MemberNamesAreResolvedOncePerClass) {
  auto first = fake::make<fake::MailItem>(L"One"), second = fake::make<fake::MailItem>(L"Two");
  EXPECT_EQ(make_item(first->dispatch())->GetAttachments()->Count(), 0);
  EXPECT_EQ(make_item(first->dispatch())->Class(), 43);
  const long lookups = fake::Object::name_lookups;
  EXPECT_EQ(make_item(second->dispatch())->GetAttachments()->Count(), 0);
  EXPECT_EQ(make_item(second->dispatch())->Class(), 43);
  EXPECT_EQ(fake::Object::name_lookups, lookups);  // another object of the same classes
}

TEST_F(ComTest, FailedHostCallsArriveWithTheHostsNumber) {
  auto mail = fake::make<fake::MailItem>(L"Subject");
  mail->attach(win::own_module_path());
  const auto attachments = make_item(mail->dispatch())->GetAttachments();
  ASSERT_EQ(attachments->Count(), 1);
  const auto attachment = attachments->GetItem(1);
  struct Case {
    const char* what;
    std::function<void()> call;
    HRESULT number;
  };
  const Case cases[] = {
      {"save into a missing folder",
       [&] { attachment->SaveAsFile("C:\\no\\such\\folder\\file.bin"); }, STG_E_PATHNOTFOUND},
      {"index past the end", [&] { attachments->GetItem(2); }, DISP_E_BADINDEX},
      {"a member the object lacks", [&] { make_item(mail->attachments()[0]->dispatch())->Class(); },
       DISP_E_UNKNOWNNAME},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.what << ": no failure";
    } catch (const Failure& f) {
      EXPECT_EQ(f.number(), static_cast<int32_t>(c.number)) << c.what;
      EXPECT_FALSE(f.description().empty()) << c.what;
    }
  }
}

}  // namespace
}  // namespace parvex::com
