#include "progress/ui_win32.h"

#include "files/native_win32.h"

namespace relauncher {

namespace {

// The manifest resource that asks for the common controls' version 6: not the process's
// own (id 1), so that only the progress window's thread ever uses it.
constexpr WORD common_controls_manifest_id = 101;

BOOL CALLBACK take_first_name(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) {
  auto& first = *reinterpret_cast<std::u16string*>(found);
  if (IS_INTRESOURCE(name)) {
    // A numbered resource is written "#<n>", which the load functions read as the number.
    first = u"#";
    std::u16string digits;
    for (ULONG_PTR id = reinterpret_cast<ULONG_PTR>(name); id != 0 || digits.empty(); id /= 10) {
      digits.insert(digits.begin(), static_cast<char16_t>(u'0' + id % 10));
    }
    first += digits;
  } else {
    first = reinterpret_cast<const char16_t*>(name);
  }
  return FALSE;
}

HICON copied_icon(const Ui& ui, HMODULE module, const std::u16string& name, int metric_x,
                  int metric_y) {
  HANDLE loaded = ui.load_image(module, wide(name), IMAGE_ICON,
                                ui.system_metrics(metric_x), ui.system_metrics(metric_y), 0);
  if (loaded == nullptr) {
    return nullptr;
  }
  HANDLE copy = ui.copy_image(loaded, IMAGE_ICON, 0, 0, 0);
  ui.destroy_icon(static_cast<HICON>(loaded));
  return static_cast<HICON>(copy);
}

}  // namespace

bool load_ui(Ui& ui) {
  HMODULE user = system_module(L"user32.dll");
  HMODULE gdi = system_module(L"gdi32.dll");
  // Present only on Windows 10 1607 and later: the window falls back to the system DPI.
  load(user, "GetDpiForWindow", ui.dpi_for_window);
  load(user, "SystemParametersInfoForDpi", ui.system_parameters_for_dpi);
  load(user, "AdjustWindowRectExForDpi", ui.adjust_window_rect_for_dpi);
  return load(user, "RegisterClassExW", ui.register_class) &&
         load(user, "CreateWindowExW", ui.create_window) &&
         load(user, "DefWindowProcW", ui.default_procedure) &&
         load(user, "GetWindowLongPtrW", ui.get_window_long) &&
         load(user, "GetDlgItem", ui.dialog_item) && load(user, "ShowWindow", ui.show_window) &&
         load(user, "MsgWaitForMultipleObjects", ui.wait_for_messages) &&
         load(user, "PeekMessageW", ui.peek_message) &&
         load(user, "TranslateMessage", ui.translate_message) &&
         load(user, "DispatchMessageW", ui.dispatch_message) &&
         load(user, "DestroyWindow", ui.destroy_window) &&
         load(user, "SendMessageW", ui.send_message) &&
         load(user, "SystemParametersInfoW", ui.system_parameters) &&
         load(user, "GetCursorPos", ui.cursor_position) &&
         load(user, "MonitorFromPoint", ui.monitor_from_point) &&
         load(user, "GetMonitorInfoW", ui.monitor_info) &&
         load(user, "SetWindowPos", ui.set_window_position) &&
         load(user, "AdjustWindowRectEx", ui.adjust_window_rect) &&
         load(user, "GetDC", ui.get_dc) && load(user, "ReleaseDC", ui.release_dc) &&
         load(user, "LoadImageW", ui.load_image) && load(user, "CopyImage", ui.copy_image) &&
         load(user, "DestroyIcon", ui.destroy_icon) &&
         load(user, "GetSystemMetrics", ui.system_metrics) &&
         load(user, "ShutdownBlockReasonCreate", ui.block_shutdown) &&
         load(user, "ShutdownBlockReasonDestroy", ui.unblock_shutdown) &&
         load(gdi, "GetDeviceCaps", ui.device_caps) &&
         load(gdi, "CreateFontIndirectW", ui.create_font) &&
         load(gdi, "DeleteObject", ui.delete_object) &&
         load(gdi, "SelectObject", ui.select_object) &&
         load(gdi, "GetTextExtentPoint32W", ui.text_extent);
}

bool load_common_controls() {
  decltype(&::InitCommonControlsEx) initialise = nullptr;
  if (!load(system_module(L"comctl32.dll"), "InitCommonControlsEx", initialise)) {
    return false;
  }
  INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_PROGRESS_CLASS};
  return initialise(&classes) != FALSE;
}

Icons read_icons(const Ui& ui, const std::u16string& file) {
  Icons icons;
  if (file.empty()) {
    return icons;
  }
  // Mapped as an image resource: nothing of it runs, and it is unmapped (and the file
  // closed) before the program starts.
  HMODULE module = LoadLibraryExW(wide(file), nullptr,
                                  LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    return icons;
  }
  std::u16string name;
  (void)EnumResourceNamesW(module, RT_GROUP_ICON, take_first_name,
                           reinterpret_cast<LONG_PTR>(&name));
  if (!name.empty()) {
    icons.big = copied_icon(ui, module, name, SM_CXICON, SM_CYICON);
    icons.small = copied_icon(ui, module, name, SM_CXSMICON, SM_CYSMICON);
  }
  (void)FreeLibrary(module);  // nothing can be done if it fails
  return icons;
}

void destroy_icons(const Ui& ui, Icons& icons) {
  for (HICON icon : {icons.big, icons.small}) {
    if (icon != nullptr) {
      ui.destroy_icon(icon);
    }
  }
  icons = Icons{};
}

HANDLE activate_common_controls(ULONG_PTR& cookie) {
  cookie = 0;
  wchar_t path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) {
    return INVALID_HANDLE_VALUE;
  }
  ACTCTXW request{};
  request.cbSize = sizeof(request);
  request.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = path;
  request.hModule = GetModuleHandleW(nullptr);
  request.lpResourceName = MAKEINTRESOURCEW(common_controls_manifest_id);
  HANDLE context = CreateActCtxW(&request);
  if (context != INVALID_HANDLE_VALUE && !ActivateActCtx(context, &cookie)) {
    ReleaseActCtx(context);
    return INVALID_HANDLE_VALUE;
  }
  return context;
}

void deactivate_common_controls(HANDLE context, ULONG_PTR cookie) {
  if (context == INVALID_HANDLE_VALUE) {
    return;
  }
  (void)DeactivateActCtx(0, cookie);
  ReleaseActCtx(context);
}

}  // namespace relauncher
