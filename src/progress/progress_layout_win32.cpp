#include <windows.h>

#include "progress/ui_win32.h"

namespace relauncher {

namespace {

// The system's message font at `dpi`; before Windows 10 1607 the system DPI's, which is
// then the only DPI there is.
HFONT message_font(const Ui& ui, UINT dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  const BOOL got =
      ui.system_parameters_for_dpi != nullptr
          ? ui.system_parameters_for_dpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)
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

}  // namespace

UINT dpi_of(const Ui& ui, HWND window) {
  if (ui.dpi_for_window != nullptr) {
    return ui.dpi_for_window(window);
  }
  HDC screen = ui.get_dc(nullptr);
  const int dpi = ui.device_caps(screen, LOGPIXELSY);
  ui.release_dc(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
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

void lay_out(const Ui& ui, HWND window, const std::u16string& line, UINT dpi, const RECT& area,
             const RECT* suggested, HFONT& font) {
  HFONT label_font = message_font(ui, dpi);
  const SIZE text = text_size(ui, window, label_font, line);
  const int margin = MulDiv(12, static_cast<int>(dpi), 96);
  const int bar_height = MulDiv(16, static_cast<int>(dpi), 96);
  const int widest = (area.right - area.left) * 3 / 4;
  const int narrowest = MulDiv(360, static_cast<int>(dpi), 96);
  int width = text.cx + 2 * margin;
  width = width < narrowest ? narrowest : width;
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
  const int x =
      suggested ? suggested->left : area.left + (area.right - area.left - outer_width) / 2;
  const int y = suggested ? suggested->top : area.top + (area.bottom - area.top - outer_height) / 2;
  HWND label = ui.dialog_item(window, label_id);
  ui.send_message(label, WM_SETFONT, reinterpret_cast<WPARAM>(label_font), TRUE);
  if (font != nullptr) {
    ui.delete_object(font);
  }
  font = label_font;
  ui.set_window_position(label, nullptr, margin, margin, width - 2 * margin, text.cy,
                         SWP_NOZORDER | SWP_NOACTIVATE);
  ui.set_window_position(ui.dialog_item(window, bar_id), nullptr, margin,
                         margin + text.cy + margin / 2, width - 2 * margin, bar_height,
                         SWP_NOZORDER | SWP_NOACTIVATE);
  ui.set_window_position(window, nullptr, x, y, outer_width, outer_height,
                         SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace relauncher
