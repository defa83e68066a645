// The scheduled task of the installer (packaging/windows/lan2com-task.xml, filled in as
// install.ps1 fills it), read by the Task Scheduler's own parser without registering anything:
// it starts lan2com at the logon of the station's account, with the account's highest rights,
// for good, and again after a failure. Wine's Task Scheduler reads the definition (a malformed
// one is refused) but only some of its settings: the principal, the triggers, the actions and
// the restarts are checked on Windows alone.

#include <windows.h>
// After windows.h: the COM declarations build on its types.
#include <initguid.h>
#include <taskschd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "wine/wine_host.h"

namespace lan2com {
namespace {

std::wstring wide(const std::string& utf8) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string templateText() {
    std::string path = LAN2COM_SOURCE_DIR "/packaging/windows/lan2com-task.xml";
    if (path.front() == '/') {
        path = "Z:" + path;  // a build on Linux, run under Wine: the Unix root is drive Z:
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void replaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to) {
    for (std::size_t at = text.find(from); at != std::wstring::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

template <typename T>
struct Com {
    T* p = nullptr;
    ~Com() {
        if (p != nullptr) {
            p->Release();
        }
    }
    T* operator->() const { return p; }
};

std::wstring taken(BSTR text) {
    std::wstring out = text != nullptr ? std::wstring(text) : std::wstring();
    SysFreeString(text);
    return out;
}

TEST(Win32TaskDefinition, StartsAtLogonWithHighestRightsAndAgainAfterAFailure) {
    std::wstring xml = wide(templateText());
    ASSERT_NE(xml.find(L"@ACCOUNT@"), std::wstring::npos);
    const std::wstring account = L"STATION\\operator";
    const std::wstring program = L"C:\\Program Files\\lan2com\\lan2com.exe";
    replaceAll(xml, L"@ACCOUNT@", account);
    replaceAll(xml, L"@PROGRAM@", program);

    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        Com<ITaskService> service;
        ASSERT_EQ(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ITaskService, reinterpret_cast<void**>(&service.p)),
                  S_OK);
        VARIANT none;
        VariantInit(&none);
        ASSERT_EQ(service->Connect(none, none, none, none), S_OK);
        Com<ITaskDefinition> task;
        ASSERT_EQ(service->NewTask(0, &task.p), S_OK);
        BSTR text = SysAllocString(xml.c_str());
        const HRESULT parsed = task->put_XmlText(text);
        SysFreeString(text);
        ASSERT_EQ(parsed, S_OK) << "the Task Scheduler refuses the definition";

        Com<ITaskSettings> settings;
        ASSERT_EQ(task->get_Settings(&settings.p), S_OK);
        BSTR limit = nullptr;
        EXPECT_EQ(settings->get_ExecutionTimeLimit(&limit), S_OK);
        EXPECT_EQ(taken(limit), L"PT0S");  // never stopped for running too long
        VARIANT_BOOL flag = VARIANT_TRUE;
        EXPECT_EQ(settings->get_DisallowStartIfOnBatteries(&flag), S_OK);
        EXPECT_EQ(flag, VARIANT_FALSE);
        flag = VARIANT_TRUE;
        EXPECT_EQ(settings->get_StopIfGoingOnBatteries(&flag), S_OK);
        EXPECT_EQ(flag, VARIANT_FALSE);
        flag = VARIANT_FALSE;
        EXPECT_EQ(settings->get_Enabled(&flag), S_OK);
        EXPECT_EQ(flag, VARIANT_TRUE);
        TASK_INSTANCES_POLICY instances = TASK_INSTANCES_PARALLEL;
        EXPECT_EQ(settings->get_MultipleInstances(&instances), S_OK);
        EXPECT_EQ(instances, TASK_INSTANCES_IGNORE_NEW);
        int priority = 0;
        EXPECT_EQ(settings->get_Priority(&priority), S_OK);
        EXPECT_EQ(priority, 4);  // normal; the default 7 is below normal

        // Windows only (Wine keeps none of these).
        if (!wine::runningUnderWine()) {
            Com<IPrincipal> principal;
            ASSERT_EQ(task->get_Principal(&principal.p), S_OK);
            TASK_RUNLEVEL_TYPE level = TASK_RUNLEVEL_LUA;
            EXPECT_EQ(principal->get_RunLevel(&level), S_OK);
            EXPECT_EQ(level, TASK_RUNLEVEL_HIGHEST);
            TASK_LOGON_TYPE logon = TASK_LOGON_NONE;
            EXPECT_EQ(principal->get_LogonType(&logon), S_OK);
            EXPECT_EQ(logon, TASK_LOGON_INTERACTIVE_TOKEN);  // in the account's own session
            BSTR user = nullptr;
            EXPECT_EQ(principal->get_UserId(&user), S_OK);
            EXPECT_EQ(taken(user), account);

            int restarts = 0;
            EXPECT_EQ(settings->get_RestartCount(&restarts), S_OK);
            EXPECT_EQ(restarts, 999);
            BSTR interval = nullptr;
            EXPECT_EQ(settings->get_RestartInterval(&interval), S_OK);
            EXPECT_EQ(taken(interval), L"PT1M");
            Com<ITriggerCollection> triggers;
            ASSERT_EQ(task->get_Triggers(&triggers.p), S_OK);
            LONG triggerCount = 0;
            EXPECT_EQ(triggers->get_Count(&triggerCount), S_OK);
            ASSERT_EQ(triggerCount, 1);
            Com<ITrigger> trigger;
            ASSERT_EQ(triggers->get_Item(1, &trigger.p), S_OK);
            TASK_TRIGGER_TYPE2 type = TASK_TRIGGER_EVENT;
            EXPECT_EQ(trigger->get_Type(&type), S_OK);
            EXPECT_EQ(type, TASK_TRIGGER_LOGON);

            Com<IActionCollection> actions;
            ASSERT_EQ(task->get_Actions(&actions.p), S_OK);
            LONG count = 0;
            EXPECT_EQ(actions->get_Count(&count), S_OK);
            ASSERT_EQ(count, 1);
            Com<IAction> action;
            ASSERT_EQ(actions->get_Item(1, &action.p), S_OK);
            Com<IExecAction> exec;
            ASSERT_EQ(action->QueryInterface(IID_IExecAction, reinterpret_cast<void**>(&exec.p)),
                      S_OK);
            BSTR path = nullptr;
            EXPECT_EQ(exec->get_Path(&path), S_OK);
            EXPECT_EQ(taken(path), program);
        }
    }
    CoUninitialize();
}

}  // namespace
}  // namespace lan2com
