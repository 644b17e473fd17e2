// Shared pieces of the audio tests: the machine's wave device names, and reading the
// lists of the audio settings window.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

namespace audiotest {

// Product names of the wave-output (wave-input) devices, in device order.
std::vector<std::string> OutputDeviceNames();
std::vector<std::string> InputDeviceNames();
// The names in the order of a sorted list box (case-insensitive, as the list sorts).
std::vector<std::string> Sorted(std::vector<std::string> names);

// The entries of combo box `id`, its selection (CB_ERR for none) and the selected text.
std::vector<std::string> ListItems(HWND dlg, int id);
int Selection(HWND dlg, int id);
// Index of the last entry equal to `text`, or -1.
int LastIndexOf(const std::vector<std::string>& items, const std::string& text);

// The visible window of this process made from dialog template `id`, or null.
HWND DialogWindow(UINT id);

}  // namespace audiotest
