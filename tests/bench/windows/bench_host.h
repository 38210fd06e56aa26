// What the Windows benchmarks share: a clock, the median, and a stand-in
// for mIRC's window that takes its command message.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

inline double Now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A message-only window on the calling thread whose procedure answers
// mIRC's command message (WM_USER + 200).
inline HWND MakeHostWindow(const wchar_t* class_name, WNDPROC procedure)
{
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = procedure;
    window_class.lpszClassName = class_name;
    RegisterClassW(&window_class);
    return CreateWindowExW(0, class_name, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                           nullptr);
}
