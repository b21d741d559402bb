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

/// The window, centred on the screen, with its text and bar; the bar's handle in bar.
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

    // A caption and nothing else: no system menu, so no close button.
    const DWORD style = WS_POPUP | WS_CAPTION;
    RECT frame{0, 0, 360, 92};
    AdjustWindowRectEx(&frame, style, FALSE, WS_EX_DLGMODALFRAME);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
              y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    window = CreateWindowExW(WS_EX_DLGMODALFRAME, kWindowClass, win32::W(caption), style, x, y, width, height,
                             nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return;
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
      font = CreateFontIndirectW(&metrics.lfMessageFont);
    }
    const HWND label = CreateWindowExW(0, L"STATIC", win32::W(text), WS_CHILD | WS_VISIBLE | SS_LEFT, 20, 18,
                                       320, 24, window, nullptr, instance, nullptr);
    if (label != nullptr && font != nullptr)
      SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    bar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 20, 52, 320, 20, window, nullptr,
                          instance, nullptr);
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
