#pragma once

// The functions of user32, gdi32 and comctl32 that the progress window uses, loaded from
// the system folder only when a window is asked for: a plain hand-over imports and loads
// none of these modules.

#include <windows.h>
// After <windows.h>, which it needs.
#include <commctrl.h>

#include <string>

namespace relauncher {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is passed as wchar_t");

inline const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

struct Ui {
  decltype(&::RegisterClassExW) register_class;
  decltype(&::CreateWindowExW) create_window;
  decltype(&::DefWindowProcW) default_procedure;
  decltype(&::GetWindowLongPtrW) get_window_long;
  decltype(&::GetDlgItem) dialog_item;
  decltype(&::ShowWindow) show_window;
  decltype(&::MsgWaitForMultipleObjects) wait_for_messages;
  decltype(&::PeekMessageW) peek_message;
  decltype(&::TranslateMessage) translate_message;
  decltype(&::DispatchMessageW) dispatch_message;
  decltype(&::DestroyWindow) destroy_window;
  decltype(&::SendMessageW) send_message;
  decltype(&::SystemParametersInfoW) system_parameters;
  decltype(&::GetCursorPos) cursor_position;
  decltype(&::MonitorFromPoint) monitor_from_point;
  decltype(&::GetMonitorInfoW) monitor_info;
  decltype(&::SetWindowPos) set_window_position;
  decltype(&::AdjustWindowRectEx) adjust_window_rect;
  decltype(&::GetDC) get_dc;
  decltype(&::ReleaseDC) release_dc;
  decltype(&::LoadImageW) load_image;
  decltype(&::CopyImage) copy_image;
  decltype(&::DestroyIcon) destroy_icon;
  decltype(&::GetSystemMetrics) system_metrics;
  decltype(&::ShutdownBlockReasonCreate) block_shutdown;
  decltype(&::ShutdownBlockReasonDestroy) unblock_shutdown;
  decltype(&::GetDeviceCaps) device_caps;
  decltype(&::CreateFontIndirectW) create_font;
  decltype(&::DeleteObject) delete_object;
  decltype(&::SelectObject) select_object;
  decltype(&::GetTextExtentPoint32W) text_extent;
  // Per-monitor DPI: Windows 10 1607 and later only, null before.
  decltype(&::GetDpiForWindow) dpi_for_window;
  decltype(&::SystemParametersInfoForDpi) system_parameters_for_dpi;
  decltype(&::AdjustWindowRectExForDpi) adjust_window_rect_for_dpi;
};

// Loads user32 and gdi32; false, with the error left in GetLastError, when a function
// that the window cannot do without is missing.
bool load_ui(Ui& ui);

// Loads comctl32 (version 6 when the common controls' activation context is active) and
// registers its progress bar class.
bool load_common_controls();

// The window's two children.
constexpr int label_id = 1;
constexpr int bar_id = 2;

// The DPI of the monitor the window is on (the system's before Windows 10 1607).
UINT dpi_of(const Ui& ui, HWND window);

// The work area of the monitor under the mouse pointer, or the primary monitor's.
RECT work_area_under_pointer(const Ui& ui);

// Sizes the window and its children from the system's message font at `dpi` and the text,
// and places it centred on `area`, or at `suggested` when Windows moved it to a monitor of
// another DPI. `font` is the label's: replaced by one made for `dpi`.
void lay_out(const Ui& ui, HWND window, const std::u16string& line, UINT dpi, const RECT& area,
             const RECT* suggested, HFONT& font);

struct Icons {
  HICON big = nullptr;
  HICON small = nullptr;
};

// The first icon of an executable, in the system's two sizes, copied so that the file
// is closed again at once: an installer may be about to replace it.
Icons read_icons(const Ui& ui, const std::u16string& file);
void destroy_icons(const Ui& ui, Icons& icons);

// Activates, for the calling thread, the activation context that asks for version 6 of
// the common controls (whose progress bar has the moving marquee); the cookie is 0 when
// it could not be made. deactivate_common_controls undoes it.
HANDLE activate_common_controls(ULONG_PTR& cookie);
void deactivate_common_controls(HANDLE context, ULONG_PTR cookie);

}  // namespace relauncher
