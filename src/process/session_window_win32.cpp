// The session's end, heard through a window. Windows tells a logoff or a shutdown to
// every top-level window (a message-only window gets no broadcast), and a console
// program's control handler is told it neither once the program has left its console
// nor, dependably, once it has loaded user32.dll. user32.dll is loaded, not imported:
// a hand-over that watches no trial never maps it.

#include <windows.h>

#include "process/process_win32_internal.h"

namespace relauncher {

namespace {

constexpr wchar_t class_name[] = L"relauncher-session";

struct User32 {
  decltype(&RegisterClassExW) register_class = nullptr;
  decltype(&CreateWindowExW) create_window = nullptr;
  decltype(&DefWindowProcW) default_procedure = nullptr;
  decltype(&GetMessageW) get_message = nullptr;
  decltype(&DispatchMessageW) dispatch_message = nullptr;
  decltype(&DestroyWindow) destroy_window = nullptr;
  decltype(&PostMessageW) post_message = nullptr;
  decltype(&PostQuitMessage) post_quit_message = nullptr;
};

bool load_user32(User32& user) {
  HMODULE module = system_module(L"user32.dll");
  return load(module, "RegisterClassExW", user.register_class) &&
         load(module, "CreateWindowExW", user.create_window) &&
         load(module, "DefWindowProcW", user.default_procedure) &&
         load(module, "GetMessageW", user.get_message) &&
         load(module, "DispatchMessageW", user.dispatch_message) &&
         load(module, "DestroyWindow", user.destroy_window) &&
         load(module, "PostMessageW", user.post_message) &&
         load(module, "PostQuitMessage", user.post_quit_message);
}

}  // namespace

// What the window's thread shares with the watch.
struct Served {
  User32 user;
  SessionEnd session;
  HANDLE ended = nullptr;
  HANDLE ready = nullptr;  // set once the window stands, or could not be made
  HWND window = nullptr;
};

namespace {

// The window procedure gets no parameter of ours: it finds what it serves through the
// thread that owns the window, the only thread it runs on.
thread_local Served* served_here = nullptr;

LRESULT CALLBACK session_procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
  Served& served = *served_here;
  switch (message) {
    case WM_QUERYENDSESSION:
      return served.session.hold_shutdown ? FALSE : TRUE;
    case WM_ENDSESSION:
      // The system may end the tool as soon as this returns: what must be kept is kept now.
      if (w != FALSE && WaitForSingleObject(served.ended, 0) == WAIT_TIMEOUT) {
        if (served.session.on_end) {
          served.session.on_end();
        }
        (void)SetEvent(served.ended);
      }
      return 0;
    case WM_CLOSE:
      (void)served.user.destroy_window(window);
      return 0;
    case WM_DESTROY:
      served.user.post_quit_message(0);
      return 0;
    default:
      return served.user.default_procedure(window, message, w, l);
  }
}

DWORD WINAPI serve(void* parameter) {
  Served& served = *static_cast<Served*>(parameter);
  served_here = &served;
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = session_procedure;
  window_class.hInstance = instance;
  window_class.lpszClassName = class_name;
  if (served.user.register_class(&window_class) != 0 ||
      GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
    // Top-level and never shown: no taskbar button, nothing on the screen.
    served.window = served.user.create_window(0, class_name, L"relauncher", WS_POPUP, 0, 0, 0, 0,
                                              nullptr, nullptr, instance, nullptr);
  }
  (void)SetEvent(served.ready);
  if (served.window == nullptr) {
    return 0;
  }
  MSG message;
  while (served.user.get_message(&message, nullptr, 0, 0) > 0) {
    (void)served.user.dispatch_message(&message);
  }
  return 0;
}

}  // namespace

SessionWindow open_session_window(const SessionEnd& session) {
  SessionWindow window;
  auto* served = new Served();
  served->session = session;
  served->ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  served->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  window.served = served;
  if (served->ended == nullptr || served->ready == nullptr || !load_user32(served->user)) {
    close_session_window(window);
    return window;
  }
  window.thread = CreateThread(nullptr, 0, serve, served, 0, nullptr);
  if (window.thread == nullptr) {
    close_session_window(window);
    return window;
  }
  (void)WaitForSingleObject(served->ready, INFINITE);
  if (served->window == nullptr) {
    close_session_window(window);
    return window;
  }
  window.ended = served->ended;
  return window;
}

bool close_session_window(SessionWindow& window) {
  Served* served = window.served;
  if (served == nullptr) {
    return false;
  }
  if (window.thread != nullptr) {
    if (served->window != nullptr) {
      (void)served->user.post_message(served->window, WM_CLOSE, 0, 0);
    }
    (void)WaitForSingleObject(window.thread, INFINITE);
    (void)CloseHandle(window.thread);
  }
  // Told while the watch was ending for another reason: it counts all the same.
  const bool ended =
      served->ended != nullptr && WaitForSingleObject(served->ended, 0) == WAIT_OBJECT_0;
  for (HANDLE event : {served->ended, served->ready}) {
    if (event != nullptr) {
      (void)CloseHandle(event);
    }
  }
  delete served;
  window = SessionWindow{};
  return ended;
}

}  // namespace relauncher
