#include "platform/Windows.h"

#include "platform/Application.h"
#include "platform/Dispatcher.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimerEvent>

#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace Win {
namespace {

struct Window {
    HWND Handle = 0;
    WNDPROC Proc = nullptr;
    LONG_PTR Extra = 0;
};

std::map<std::string, WNDCLASS>& Classes() {
    static std::map<std::string, WNDCLASS> classes;
    return classes;
}

std::unordered_map<HWND, std::shared_ptr<Window>>& Windows() {
    static std::unordered_map<HWND, std::shared_ptr<Window>> windows;
    return windows;
}

HWND nextHandle = 1;
int pendingMessages = 0;

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// One posted message. Counted from posting until its delivery starts (or it
// is dropped), so a pass of the loop knows whether anything is still waiting,
// also when a window procedure runs a nested pass.
struct MessageEvent : QEvent {
    MessageEvent(HWND hwnd, UINT msg, WPARAM w, LPARAM l, std::uint64_t token)
        : QEvent(kMessageEvent), Hwnd(hwnd), Msg(msg), WParam(w), LParam(l), SocketToken(token) {
        ++pendingMessages;
    }
    ~MessageEvent() override { Uncount(); }
    void Uncount() {
        if (Counted) --pendingMessages;
        Counted = false;
    }
    bool Counted = true;
    HWND Hwnd;
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    std::uint64_t SocketToken;
};

struct TimerKey {
    HWND Hwnd;
    UINT Id;
    bool operator<(const TimerKey& o) const { return Hwnd != o.Hwnd ? Hwnd < o.Hwnd : Id < o.Id; }
};
std::map<TimerKey, int> timersByKey;          // our id -> Qt timer id
std::map<int, TimerKey> timersByQtId;         // Qt timer id -> our id

std::mutex dispatcherMutex;
detail::Dispatcher* dispatcherAlive = nullptr;  // guarded by dispatcherMutex for other threads

std::shared_ptr<Window> Find(HWND hwnd) {
    auto it = Windows().find(hwnd);
    return it == Windows().end() ? nullptr : it->second;
}

void Deliver(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    const auto window = Find(hwnd);  // keeps the record alive while its procedure runs
    if (!window) return;
    try {
        window->Proc(hwnd, msg, w, l);
    } catch (...) {
        Application().HandleException(std::current_exception());
    }
}

}  // namespace

namespace detail {

Dispatcher::Dispatcher() {
    std::lock_guard lock(dispatcherMutex);
    dispatcherAlive = this;
}

Dispatcher::~Dispatcher() {
    std::lock_guard lock(dispatcherMutex);
    dispatcherAlive = nullptr;
    timersByKey.clear();
    timersByQtId.clear();
}

bool Dispatcher::event(QEvent* e) {
    if (e->type() != kMessageEvent) return QObject::event(e);
    auto* m = static_cast<MessageEvent*>(e);
    m->Uncount();
    if (m->SocketToken != 0 && !IsLiveSocketToken(m->SocketToken)) return true;
    Deliver(m->Hwnd, m->Msg, m->WParam, m->LParam);
    return true;
}

void Dispatcher::timerEvent(QTimerEvent* e) {
    const auto it = timersByQtId.find(e->timerId());
    if (it == timersByQtId.end()) return;
    const TimerKey key = it->second;
    Deliver(key.Hwnd, WM_TIMER, key.Id, 0);
}

Dispatcher& TheDispatcher() {
    static QObject* owner = nullptr;
    static Dispatcher* dispatcher = nullptr;
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) qFatal("The Qt application object must exist before windows or sockets are used");
    if (dispatcher == nullptr || owner != app) {
        dispatcher = new Dispatcher();
        dispatcher->setParent(app);
        owner = app;
    }
    return *dispatcher;
}

bool PostMessageFor(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, std::uint64_t socketToken) {
    if (!Find(hwnd)) return false;
    QCoreApplication::postEvent(&TheDispatcher(), new MessageEvent(hwnd, msg, wParam, lParam, socketToken));
    return true;
}

void RunOnUiThread(std::function<void()> fn) {
    std::lock_guard lock(dispatcherMutex);
    if (dispatcherAlive != nullptr) QMetaObject::invokeMethod(dispatcherAlive, std::move(fn), Qt::QueuedConnection);
}

void DropTimersOf(HWND hwnd) {
    for (auto it = timersByKey.begin(); it != timersByKey.end();) {
        if (it->first.Hwnd == hwnd) {
            TheDispatcher().killTimer(it->second);
            timersByQtId.erase(it->second);
            it = timersByKey.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace detail

bool RegisterClass(const WNDCLASS& wc) {
    if (wc.lpszClassName.empty() || wc.lpfnWndProc == nullptr || Classes().count(wc.lpszClassName) != 0) return false;
    Classes()[wc.lpszClassName] = wc;
    return true;
}

bool GetClassInfo(const std::string& className, WNDCLASS* wc) {
    const auto it = Classes().find(className);
    if (it == Classes().end()) return false;
    if (wc != nullptr) *wc = it->second;
    return true;
}

void UnregisterClassForTests(const std::string& className) { Classes().erase(className); }

HWND CreateWindow(const std::string& className) {
    const auto it = Classes().find(className);
    if (it == Classes().end()) return 0;
    auto window = std::make_shared<Window>();
    window->Handle = nextHandle++;
    window->Proc = it->second.lpfnWndProc;
    Windows()[window->Handle] = window;
    return window->Handle;
}

bool DestroyWindow(HWND hwnd) {
    if (Windows().erase(hwnd) == 0) return false;
    if (QCoreApplication::instance() != nullptr) detail::DropTimersOf(hwnd);
    return true;
}

bool IsWindow(HWND hwnd) { return Windows().count(hwnd) != 0; }

LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value) {
    const auto window = Find(hwnd);
    if (!window || index != 0) return 0;
    const LONG_PTR old = window->Extra;
    window->Extra = value;
    return old;
}

LONG_PTR GetWindowLongPtr(HWND hwnd, int index) {
    const auto window = Find(hwnd);
    return window && index == 0 ? window->Extra : 0;
}

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return detail::PostMessageFor(hwnd, msg, wParam, lParam, 0);
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

bool SetTimer(HWND hwnd, UINT id, UINT elapseMs) {
    if (!IsWindow(hwnd)) return false;
    KillTimer(hwnd, id);
    const int qtId = detail::TheDispatcher().startTimer(static_cast<int>(std::min<UINT>(elapseMs, 0x7FFFFFFF)));
    if (qtId == 0) return false;
    timersByKey[{hwnd, id}] = qtId;
    timersByQtId[qtId] = {hwnd, id};
    return true;
}

bool KillTimer(HWND hwnd, UINT id) {
    const auto it = timersByKey.find({hwnd, id});
    if (it == timersByKey.end()) return false;
    detail::TheDispatcher().killTimer(it->second);
    timersByQtId.erase(it->second);
    timersByKey.erase(it);
    return true;
}

void Sleep(DWORD ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

int PendingMessageCount() { return pendingMessages; }

}  // namespace Win
