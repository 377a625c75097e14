#include "progress/progress.h"

#include <windows.h>
#include <commctrl.h>


#include "progress/ui_win32.h"

namespace relauncher {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is passed as wchar_t");

constexpr DWORD close_wait_ms = 500;
// A stalled window (the test seam) stays unanswering this long.
constexpr DWORD stall_ms = 10000;
constexpr int label_id = 1;
constexpr int bar_id = 2;
constexpr wchar_t class_name[] = L"relauncher.progress";

struct State {
  Ui ui;
  ProgressSettings settings;
  std::u16string line;
  Icons icons;
  HANDLE stop = nullptr;    // set once: close the window, or never show it
  HANDLE thread = nullptr;
  ULONGLONG started = 0;
  HFONT font = nullptr;
  SRWLOCK lock = SRWLOCK_INIT;  // guards `report`, which both threads touch
  ProgressReport report;
};

// The window procedure gets no parameter of ours, and user32's functions are not
// imported but loaded: the procedure finds them through the thread that owns the
// window, which is the only thread it ever runs on.
thread_local State* window_state = nullptr;

const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

UINT dpi_of(const Ui& ui, HWND window) {
  if (ui.dpi_for_window != nullptr) {
    return ui.dpi_for_window(window);
  }
  HDC screen = ui.get_dc(nullptr);
  const int dpi = ui.device_caps(screen, LOGPIXELSY);
  ui.release_dc(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// The system's message font at `dpi`; before Windows 10 1607 the system DPI's, which is
// then the only DPI there is.
HFONT message_font(const Ui& ui, UINT dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  const BOOL got = ui.system_parameters_for_dpi != nullptr
                       ? ui.system_parameters_for_dpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics),
                                                      &metrics, 0, dpi)
                       : ui.system_parameters(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
  return got ? ui.create_font(&metrics.lfMessageFont) : nullptr;
}

SIZE text_size(const Ui& ui, HWND window, HFONT font, const std::u16string& text) {
  SIZE size{0, 0};
  HDC dc = ui.get_dc(window);
  HGDIOBJ previous = ui.select_object(dc, font);
  (void)ui.text_extent(dc, wide(text), static_cast<int>(text.size()), &size);
  ui.select_object(dc, previous);
  ui.release_dc(window, dc);
  return size;
}

RECT work_area_under_pointer(const Ui& ui) {
  POINT pointer{0, 0};
  (void)ui.cursor_position(&pointer);
  MONITORINFO info{};
  info.cbSize = sizeof(info);
  HMONITOR monitor = ui.monitor_from_point(pointer, MONITOR_DEFAULTTOPRIMARY);
  if (!ui.monitor_info(monitor, &info)) {
    return RECT{0, 0, 800, 600};
  }
  return info.rcWork;
}

// Sizes everything from the message font and the DPI, and places the window centred on
// `area`, or at `suggested` when Windows moved it to a monitor of another DPI.
void lay_out(State& state, HWND window, UINT dpi, const RECT& area, const RECT* suggested) {
  const Ui& ui = state.ui;
  HFONT font = message_font(ui, dpi);
  const SIZE text = text_size(ui, window, font, state.line);
  const int margin = MulDiv(12, static_cast<int>(dpi), 96);
  const int bar_height = MulDiv(16, static_cast<int>(dpi), 96);
  const int widest = (area.right - area.left) * 3 / 4;
  int width = text.cx + 2 * margin;
  width = width < MulDiv(360, static_cast<int>(dpi), 96) ? MulDiv(360, static_cast<int>(dpi), 96) : width;
  width = width > widest ? widest : width;
  const int height = 2 * margin + text.cy + margin / 2 + bar_height;
  const DWORD style = static_cast<DWORD>(ui.get_window_long(window, GWL_STYLE));
  const DWORD ex_style = static_cast<DWORD>(ui.get_window_long(window, GWL_EXSTYLE));
  RECT outer{0, 0, width, height};
  if (ui.adjust_window_rect_for_dpi != nullptr) {
    (void)ui.adjust_window_rect_for_dpi(&outer, style, FALSE, ex_style, dpi);
  } else {
    (void)ui.adjust_window_rect(&outer, style, FALSE, ex_style);
  }
  const int outer_width = outer.right - outer.left;
  const int outer_height = outer.bottom - outer.top;
  const int x = suggested ? suggested->left : area.left + (area.right - area.left - outer_width) / 2;
  const int y = suggested ? suggested->top : area.top + (area.bottom - area.top - outer_height) / 2;
  HWND label = ui.dialog_item(window, label_id);
  ui.send_message(label, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  if (state.font != nullptr) {
    ui.delete_object(state.font);
  }
  state.font = font;
  ui.set_window_position(label, nullptr, margin, margin, width - 2 * margin, text.cy,
                         SWP_NOZORDER | SWP_NOACTIVATE);
  ui.set_window_position(ui.dialog_item(window, bar_id), nullptr, margin,
                         margin + text.cy + margin / 2, width - 2 * margin, bar_height,
                         SWP_NOZORDER | SWP_NOACTIVATE);
  ui.set_window_position(window, nullptr, x, y, outer_width, outer_height,
                         SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
  State& state = *window_state;
  switch (message) {
    case WM_CLOSE:
      return 0;  // the close box and Alt+F4 neither end the install nor hide the window
    case WM_QUERYENDSESSION:
      return state.settings.hold_shutdown ? FALSE : TRUE;
    case WM_DPICHANGED: {
      const RECT* suggested = reinterpret_cast<const RECT*>(l);
      lay_out(state, window, LOWORD(w), *suggested, suggested);
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
  window_class.hCursor = static_cast<HCURSOR>(
      ui.load_image(nullptr, MAKEINTRESOURCEW(32512), IMAGE_CURSOR, 0, 0, LR_SHARED | LR_DEFAULTSIZE));
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
  ui.create_window(0, L"STATIC", wide(state.line), child | SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_ENDELLIPSIS,
                   0, 0, 0, 0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(label_id)), instance, nullptr);
  HWND bar = ui.create_window(0, PROGRESS_CLASSW, nullptr, child | PBS_MARQUEE, 0, 0, 0, 0, window,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(bar_id)), instance, nullptr);
  ui.send_message(bar, PBM_SETMARQUEE, TRUE, 30);
  lay_out(state, window, dpi_of(ui, window), area, nullptr);
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
  state->thread = state->stop == nullptr ? nullptr
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
  const bool ended =
      state->thread == nullptr || WaitForSingleObject(state->thread, close_wait_ms) == WAIT_OBJECT_0;
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
