// A sign of life during long work: a small window with the product's name, a line of text and a
// progress bar, shown once the work has lasted half a second. This thread keeps pumping messages
// while a worker of the pool does the work, so the window never shows as not responding.
#include <algorithm>
#include <atomic>
#include <memory>

#include "platform/win32/wide.h"
#include "platform/worker_pool.h"
// This needs windows.h before it.
#include <commctrl.h>

namespace zyv {
namespace {

constexpr wchar_t kWindowClass[] = L"ZyvInstallProgress";
constexpr DWORD kShowAfterMs = 500;
constexpr DWORD kTickMs = 50;
constexpr int kBarRange = 1000;

struct Job final : ProgressSink {
  std::atomic<std::uint64_t> done{0}, total{0};

  void Report(std::uint64_t d, std::uint64_t t) override {
    done.store(d, std::memory_order_relaxed);
    total.store(t, std::memory_order_relaxed);
  }
  int Position() const {
    const std::uint64_t t = total.load(std::memory_order_relaxed);
    if (t == 0) return 0;
    return static_cast<int>(std::min<std::uint64_t>(done.load(std::memory_order_relaxed), t) * kBarRange / t);
  }
};

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  // The user cannot close it: it goes away when the work is done.
  if (message == WM_CLOSE) return 0;
  return DefWindowProcW(window, message, wparam, lparam);
}

/// The layout in pixels at 96 DPI (100 %), scaled to the window's own DPI; the label is as wide and
/// as high as its text in the font it is drawn in needs, and no narrower than the bar.
constexpr int kClientWidth = 360;
constexpr int kMargin = 20;  // left, right and below the bar
constexpr int kLabelTop = 18;
constexpr int kLabelToBar = 16;
constexpr int kBarHeight = 20;
constexpr int kDefaultDpi = 96;

template <typename Fn>
Fn Function(HMODULE module, const char* name) {
  // Through void (*)() so the cast between function types is explicit about being deliberate.
  return module == nullptr ? nullptr
                           : reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

/// The user32 functions that know a window's own DPI (Windows 10 1607 on), looked up: an import
/// would keep the installer from starting on older systems. Null where the system lacks them.
struct DpiFunctions {
  UINT(WINAPI* forWindow)(HWND) = nullptr;
  BOOL(WINAPI* adjustForDpi)(RECT*, DWORD, BOOL, DWORD, UINT) = nullptr;
  BOOL(WINAPI* metricsForDpi)(UINT, UINT, void*, UINT, UINT) = nullptr;

  DpiFunctions() {
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    forWindow = Function<decltype(forWindow)>(user32, "GetDpiForWindow");
    adjustForDpi = Function<decltype(adjustForDpi)>(user32, "AdjustWindowRectExForDpi");
    metricsForDpi = Function<decltype(metricsForDpi)>(user32, "SystemParametersInfoForDpi");
  }
};

/// The DPI of the screen in the device context's own terms (the system's DPI for a DPI-aware
/// process); 96 when it cannot say.
UINT DeviceDpi(HWND window) {
  const HDC dc = GetDC(window);
  const int dpi = dc != nullptr ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
  if (dc != nullptr) ReleaseDC(window, dc);
  return static_cast<UINT>(dpi > 0 ? dpi : kDefaultDpi);
}

/// The DPI the window is drawn at: its own (Windows 10 1607 on), else its monitor's (Windows 8.1
/// on), else the screen's.
UINT WindowDpi(const DpiFunctions& functions, HWND window) {
  if (functions.forWindow != nullptr) {
    if (const UINT own = functions.forWindow(window); own != 0) return own;
  }
  using MonitorDpiFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
  const HMODULE shcore = LoadLibraryExW(L"shcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (const auto forMonitor = Function<MonitorDpiFn>(shcore, "GetDpiForMonitor")) {
    UINT x = 0, y = 0;
    constexpr int kEffectiveDpi = 0;  // MDT_EFFECTIVE_DPI
    if (SUCCEEDED(forMonitor(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), kEffectiveDpi, &x, &y)) &&
        y != 0) {
      FreeLibrary(shcore);
      return y;
    }
  }
  if (shcore != nullptr) FreeLibrary(shcore);
  return DeviceDpi(window);
}

/// The work area of the monitor (the screen less the task bar); the primary screen's when the system
/// cannot say.
RECT WorkArea(HMONITOR monitor) {
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (GetMonitorInfoW(monitor, &info)) return info.rcWork;
  return RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

/// The system's message font at dpi; null when the system gives none (the label then keeps the
/// system font).
HFONT MessageFont(const DpiFunctions& functions, UINT dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (functions.metricsForDpi != nullptr &&
      functions.metricsForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi)) {
    return CreateFontIndirectW(&metrics.lfMessageFont);
  }
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return nullptr;
  // Given at the system's DPI: the same size at the window's.
  const UINT system = DeviceDpi(nullptr);
  if (system != dpi) {
    metrics.lfMessageFont.lfHeight =
        MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi), static_cast<int>(system));
  }
  return CreateFontIndirectW(&metrics.lfMessageFont);
}

/// The window, centred on its monitor's work area, with its text and bar, laid out for the DPI it
/// is drawn at; the bar's handle in bar.
struct ProgressWindow {
  HWND window = nullptr;
  HWND bar = nullptr;
  HFONT font = nullptr;

  ProgressWindow(const WString& caption, const WString& text) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = ProgressWindowProc;
    cls.hInstance = instance;
    cls.hCursor = LoadCursorW(nullptr, IDC_APPSTARTING);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = kWindowClass;
    RegisterClassExW(&cls);  // fails harmlessly when already registered

    // Made hidden on the primary monitor first: its DPI is the window's own to ask for, and sizes
    // the rest. A caption and nothing else: no system menu, so no close button.
    const DWORD style = WS_POPUP | WS_CAPTION;
    const DWORD ex_style = WS_EX_DLGMODALFRAME;
    RECT work = WorkArea(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY));
    window = CreateWindowExW(ex_style, kWindowClass, win32::W(caption), style, (work.left + work.right) / 2,
                             (work.top + work.bottom) / 2, 1, 1, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return;
    const DpiFunctions functions;
    const UINT dpi = WindowDpi(functions, window);
    const auto scale = [dpi](int pixels) { return MulDiv(pixels, static_cast<int>(dpi), kDefaultDpi); };
    font = MessageFont(functions, dpi);
    work = WorkArea(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY));
    RECT frame{0, 0, 0, 0};
    if (functions.adjustForDpi == nullptr || !functions.adjustForDpi(&frame, style, FALSE, ex_style, dpi)) {
      AdjustWindowRectEx(&frame, style, FALSE, ex_style);
    }
    const int frame_width = frame.right - frame.left, frame_height = frame.bottom - frame.top;

    // The text as the label will draw it: on one line where the monitor has room for it, wrapped
    // within the room there is otherwise, and as high as the font makes those lines.
    const int room = work.right - work.left - frame_width - 2 * scale(kMargin);
    RECT text_box{0, 0, 0, 0};
    if (const HDC dc = GetDC(window)) {
      const HGDIOBJ old = SelectObject(dc, font != nullptr ? font : GetStockObject(SYSTEM_FONT));
      const int length = static_cast<int>(text.size());
      SIZE line{0, 0};
      GetTextExtentPoint32W(dc, win32::W(text), length, &line);
      text_box.right = std::max(scale(kClientWidth - 2 * kMargin), std::min<int>(line.cx, room));
      DrawTextW(dc, win32::W(text), length, &text_box, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_LEFT);
      SelectObject(dc, old);
      ReleaseDC(window, dc);
    }
    const int label_width = std::max<int>(text_box.right, scale(kClientWidth - 2 * kMargin));
    const int label_height = std::max<int>(text_box.bottom, 1);
    const int bar_top = scale(kLabelTop) + label_height + scale(kLabelToBar);
    const int client_width = label_width + 2 * scale(kMargin);
    const int client_height = bar_top + scale(kBarHeight) + scale(kMargin);
    const int width = client_width + frame_width, height = client_height + frame_height;
    SetWindowPos(window, nullptr, (work.left + work.right - width) / 2, (work.top + work.bottom - height) / 2,
                 width, height, SWP_NOZORDER | SWP_NOACTIVATE);

    const HWND label = CreateWindowExW(
        0, L"STATIC", win32::W(text), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, scale(kMargin),
        scale(kLabelTop), label_width, label_height, window, nullptr, instance, nullptr);
    if (label != nullptr && font != nullptr)
      SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    bar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, scale(kMargin), bar_top,
                          label_width, scale(kBarHeight), window, nullptr, instance, nullptr);
    if (bar != nullptr) SendMessageW(bar, PBM_SETRANGE32, 0, kBarRange);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
  }
  ~ProgressWindow() {
    if (window != nullptr) DestroyWindow(window);
    if (font != nullptr) DeleteObject(font);
  }
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;
};

}  // namespace

void RunShowingProgress(const WString& caption, const WString& text,
                        const std::function<void(ProgressSink&)>& work) {
  Job job;
  const HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (ended == nullptr) {
    work(job);  // nothing to wait on: the work still gets done, without a sign of life
    return;
  }
  {
    // Without a thread to be had, Submit runs the work itself and the loop below ends at once.
    WorkerPool worker(1);
    worker.Submit([&] {
      work(job);
      SetEvent(ended);
    });
    const ULONGLONG start = GetTickCount64();
    std::unique_ptr<ProgressWindow> shown;
    while (MsgWaitForMultipleObjects(1, &ended, FALSE, kTickMs, QS_ALLINPUT) != WAIT_OBJECT_0) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      if (shown == nullptr && GetTickCount64() - start >= kShowAfterMs) {
        shown = std::make_unique<ProgressWindow>(caption, text);
      }
      if (shown != nullptr && shown->bar != nullptr) SendMessageW(shown->bar, PBM_SETPOS, job.Position(), 0);
    }
  }
  CloseHandle(ended);
}

}  // namespace zyv
