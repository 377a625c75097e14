#include <windows.h>
// After <windows.h>, which it needs.
#include <commctrl.h>

#include "progress/progress.h"
#include "progress/ui_win32.h"

namespace relauncher {

namespace {

constexpr DWORD close_wait_ms = 500;
// A stalled window (the test seam) stays unanswering this long.
constexpr DWORD stall_ms = 10000;
constexpr wchar_t class_name[] = L"relauncher.progress";

struct State {
  Ui ui;
  ProgressSettings settings;
  std::u16string line;
  Icons icons;
  HANDLE stop = nullptr;  // set once: close the window, or never show it
  HANDLE thread = nullptr;
  ULONGLONG started = 0;
  HFONT font = nullptr;         // the label's, made for the window's DPI
  SRWLOCK lock = SRWLOCK_INIT;  // guards `report`, which both threads touch
  ProgressReport report;
};

// The window procedure gets no parameter of ours, and user32's functions are not
// imported but loaded: the procedure finds them through the thread that owns the
// window, which is the only thread it ever runs on.
thread_local State* window_state = nullptr;

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
  State& state = *window_state;
  switch (message) {
    case WM_CLOSE:
      return 0;  // the close box and Alt+F4 neither end the install nor hide the window
    case WM_QUERYENDSESSION:
      return state.settings.hold_shutdown ? FALSE : TRUE;
    case WM_DPICHANGED: {
      const RECT* suggested = reinterpret_cast<const RECT*>(l);
      lay_out(state.ui, window, state.line, LOWORD(w), *suggested, suggested, state.font);
      return 0;
    }
    default:
      return state.ui.default_procedure(window, message, w, l);
  }
}

void set_report(State& state, const ProgressReport& report) {
  AcquireSRWLockExclusive(&state.lock);
  state.report = report;
  ReleaseSRWLockExclusive(&state.lock);
}

// Made hidden where the pointer is, laid out for that monitor's DPI, then shown
// without taking the focus: the user may be typing elsewhere.
HWND make_window(State& state) {
  const Ui& ui = state.ui;
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = instance;
  window_class.hIcon = state.icons.big;
  window_class.hIconSm = state.icons.small;
  window_class.hCursor = static_cast<HCURSOR>(ui.load_image(
      nullptr, MAKEINTRESOURCEW(32512), IMAGE_CURSOR, 0, 0, LR_SHARED | LR_DEFAULTSIZE));
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = class_name;
  if (ui.register_class(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return nullptr;
  }
  const RECT area = work_area_under_pointer(ui);
  // A taskbar button, so that the window can be found; a close box that closes nothing.
  HWND window = ui.create_window(WS_EX_APPWINDOW, class_name, wide(state.line),
                                 WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, area.left, area.top, 100,
                                 100, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) {
    return nullptr;
  }
  const DWORD child = WS_CHILD | WS_VISIBLE;
  ui.create_window(0, L"STATIC", wide(state.line),
                   child | SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_ENDELLIPSIS, 0, 0, 0, 0, window,
                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(label_id)), instance, nullptr);
  HWND bar =
      ui.create_window(0, PROGRESS_CLASSW, nullptr, child | PBS_MARQUEE, 0, 0, 0, 0, window,
                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(bar_id)), instance, nullptr);
  ui.send_message(bar, PBM_SETMARQUEE, TRUE, 30);
  // The class's icons serve the window; set on the window as well, they are what the
  // taskbar and Alt+Tab ask it for.
  ui.send_message(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(state.icons.big));
  ui.send_message(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(state.icons.small));
  lay_out(ui, window, state.line, dpi_of(ui, window), area, nullptr, state.font);
  if (state.settings.hold_shutdown) {
    // Not implemented everywhere (Wine): the answer to WM_QUERYENDSESSION still holds.
    (void)ui.block_shutdown(window, wide(state.line));
  }
  ui.show_window(window, SW_SHOWNOACTIVATE);
  return window;
}

// Serves the window's messages until the stop is set.
void serve_until_stopped(const State& state) {
  const Ui& ui = state.ui;
  for (;;) {
    const DWORD woke = ui.wait_for_messages(1, &state.stop, FALSE, INFINITE, QS_ALLINPUT);
    if (woke != WAIT_OBJECT_0 + 1) {
      return;  // the stop, or a failed wait: either way the window goes
    }
    MSG message;
    while (ui.peek_message(&message, nullptr, 0, 0, PM_REMOVE)) {
      ui.translate_message(&message);
      ui.dispatch_message(&message);
    }
  }
}

DWORD WINAPI show_until_stopped(void* parameter) {
  State& state = *static_cast<State*>(parameter);
  if (WaitForSingleObject(state.stop, state.settings.delay_ms) != WAIT_TIMEOUT) {
    return 0;  // done before the window was needed
  }
  window_state = &state;
  ULONG_PTR cookie = 0;
  HANDLE context = activate_common_controls(cookie);
  HWND window = load_common_controls() ? make_window(state) : nullptr;
  if (window == nullptr) {
    const DWORD error = GetLastError();
    set_report(state, {ProgressOutcome::not_shown, 0, error, true});
    deactivate_common_controls(context, cookie);
    return 0;
  }
  set_report(state, {ProgressOutcome::shown, GetTickCount64() - state.started, 0, true});
  if (state.settings.stall_for_tests) {
    Sleep(stall_ms);
  }
  serve_until_stopped(state);
  if (state.settings.hold_shutdown) {
    (void)state.ui.unblock_shutdown(window);
  }
  state.ui.destroy_window(window);
  deactivate_common_controls(context, cookie);
  return 0;
}

}  // namespace

ProgressWindow start_progress(const ProgressSettings& settings) {
  auto* state = new State();
  state->settings = settings;
  state->line = progress_line(settings.text);
  state->started = GetTickCount64();
  if (!load_ui(state->ui)) {
    state->report = {ProgressOutcome::not_shown, 0, GetLastError(), true};
    return {state};
  }
  state->icons = read_icons(state->ui, settings.icon_source);
  state->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  state->thread = state->stop == nullptr
                      ? nullptr
                      : CreateThread(nullptr, 0, show_until_stopped, state, 0, nullptr);
  if (state->thread == nullptr) {
    state->report = {ProgressOutcome::not_shown, 0, GetLastError(), true};
  }
  return {state};
}

ProgressReport stop_progress(ProgressWindow& window) {
  auto* state = static_cast<State*>(window.state);
  window.state = nullptr;
  if (state == nullptr) {
    return {};
  }
  if (state->stop != nullptr) {
    (void)SetEvent(state->stop);
  }
  const bool ended = state->thread == nullptr ||
                     WaitForSingleObject(state->thread, close_wait_ms) == WAIT_OBJECT_0;
  ProgressReport report;
  AcquireSRWLockExclusive(&state->lock);
  report = state->report;
  ReleaseSRWLockExclusive(&state->lock);
  if (!ended) {
    // The thread still uses its state: both are left to it, and end with the tool.
    report.answered_close = false;
    return report;
  }
  for (HANDLE handle : {state->thread, state->stop}) {
    if (handle != nullptr) {
      (void)CloseHandle(handle);  // nothing can be done if it fails
    }
  }
  if (state->font != nullptr) {
    state->ui.delete_object(state->font);
  }
  destroy_icons(state->ui, state->icons);
  delete state;
  return report;
}

}  // namespace relauncher
