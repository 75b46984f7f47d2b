#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/notify_queue.h"
#include "platform/windows_types.h"

// The window lives on a thread of its own so that messages arrive whatever the reader's
// thread does; the window procedure queues them for WaitMessage.
struct CNotifyQueue::State {
  HWND window = nullptr;
  HANDLE stop = nullptr;
  std::thread thread;
  std::wstring className;
  HINSTANCE instance = nullptr;
};

namespace {

LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  } else if (message >= WM_APP) {
    auto* queue = reinterpret_cast<CNotifyQueue*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (queue != nullptr) {
      try {
        queue->Post(NotifyMessage{message, static_cast<std::uintptr_t>(wParam), static_cast<std::intptr_t>(lParam)});
      } catch (...) {
        // Out of memory: the message is dropped, as a full message queue drops a post.
      }
      return 0;
    }
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&NotifyWindowProc), &module);
  return module;
}

}  // namespace

CNotifyQueue::CNotifyQueue() : m_state(std::make_unique<State>()) {
  State& state = *m_state;
  static std::atomic<unsigned> serial{0};
  // A class of its own per queue, so that it can be unregistered with the queue (the
  // module that holds the window procedure may be unloaded afterwards).
  state.className = L"AmberlineNotifyQueue-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                    std::to_wstring(serial.fetch_add(1));
  state.instance = ThisModule();
  state.stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

  HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  state.thread = std::thread([this, &state, ready] {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = NotifyWindowProc;
    windowClass.hInstance = state.instance;
    windowClass.lpszClassName = state.className.c_str();
    const bool registered = ::RegisterClassExW(&windowClass) != 0;
    if (registered)
      state.window = ::CreateWindowExW(0, state.className.c_str(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       state.instance, this);
    ::SetEvent(ready);
    if (state.window != nullptr) {
      // Waits on the stop event as well as on messages, so that stopping never depends
      // on room in the message queue.
      for (;;) {
        const DWORD woken = ::MsgWaitForMultipleObjectsEx(1, &state.stop, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) break;
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
          ::TranslateMessage(&message);
          ::DispatchMessageW(&message);
        }
      }
      ::DestroyWindow(state.window);
    }
    if (registered) ::UnregisterClassW(state.className.c_str(), state.instance);
  });
  ::WaitForSingleObject(ready, INFINITE);
  ::CloseHandle(ready);
}

CNotifyQueue::~CNotifyQueue() {
  ::SetEvent(m_state->stop);
  if (m_state->thread.joinable()) m_state->thread.join();
  ::CloseHandle(m_state->stop);
}

NotifyWindow CNotifyQueue::Window() { return m_state->window; }

namespace platform {

bool PostNotifyMessage(NotifyWindow window, UINT message, std::uintptr_t wParam, std::intptr_t lParam) {
  // A null window would post to the calling thread's own queue instead.
  if (window == nullptr) {
    ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  return ::PostMessageW(window, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)) != FALSE;
}

}  // namespace platform
