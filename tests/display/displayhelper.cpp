// displayhelper: what the display tests need inside the Wine session of the
// program under test (the same prefix and wineserver), where X tools see
// window titles only.
//
//   displayhelper prepare
//       Sets the prefix up for a display without a window manager: Wine
//       draws window frames and captions itself, and .txt files open in
//       Wine's notepad (Wine registers the txtfile type but maps no
//       extension to it).
//   displayhelper box CAPTION
//       Describes the dialog window (class #32770) with this caption, one
//       line each: "caption: ...", "owner: none" or "owner: CLASS TITLE",
//       then its child windows in order: "text: ..." for every static text,
//       "button: LABEL X Y" with the centre of each button on the screen,
//       "combo: ..." for the text of each combo box. CR and LF in texts are
//       written as \r and \n. Exit code 1 when there is no such window.
//   displayhelper tty TITLE SECONDS
//       A stand-in for a console window of class "tty" with this title:
//       hidden, gone when closed or after SECONDS. Writes "ready" once it
//       exists.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string WindowText(HWND window) {
  char text[4096] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::string ClassOf(HWND window) {
  char name[256] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

BOOL CALLBACK DescribeChild(HWND child, LPARAM) {
  const std::string kind = ClassOf(child);
  const std::string text = WindowText(child);
  if (lstrcmpiA(kind.c_str(), "Static") == 0) {
    if (!text.empty()) std::printf("text: %s\n", Escaped(text).c_str());
  } else if (lstrcmpiA(kind.c_str(), "Button") == 0) {
    RECT rect;
    if (IsWindowVisible(child) && GetWindowRect(child, &rect)) {
      std::printf("button: %s %ld %ld\n", Escaped(text).c_str(), (rect.left + rect.right) / 2,
                  (rect.top + rect.bottom) / 2);
    }
  } else if (lstrcmpiA(kind.c_str(), "ComboBox") == 0) {
    // The selected entry is the combo box's own text, which only the
    // control itself can tell (GetWindowTextA does not ask another process).
    char entry[1024] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutA(child, WM_GETTEXT, sizeof entry, reinterpret_cast<LPARAM>(entry),
                        SMTO_ABORTIFHUNG, 5000, &length);
    std::printf("combo: %s\n", Escaped(entry).c_str());
  }
  return TRUE;
}

int Box(const char* caption) {
  HWND box = FindWindowA("#32770", caption);
  if (box == nullptr) {
    std::printf("no window of class #32770 with the caption \"%s\"\n", caption);
    return 1;
  }
  std::printf("caption: %s\n", Escaped(WindowText(box)).c_str());
  HWND owner = GetWindow(box, GW_OWNER);
  if (owner == nullptr) {
    std::printf("owner: none\n");
  } else {
    std::printf("owner: %s %s\n", ClassOf(owner).c_str(), Escaped(WindowText(owner)).c_str());
  }
  EnumChildWindows(box, DescribeChild, 0);
  return 0;
}

LRESULT CALLBACK StandInProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMER) {
    DestroyWindow(window);
    return 0;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

int StandIn(const char* title, int seconds) {
  WNDCLASSA type = {};
  type.lpfnWndProc = StandInProc;
  type.hInstance = GetModuleHandleA(nullptr);
  type.lpszClassName = "tty";
  if (RegisterClassA(&type) == 0) return 1;
  HWND window = CreateWindowA("tty", title, WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                              type.hInstance, nullptr);
  if (window == nullptr) return 1;
  SetTimer(window, 1, static_cast<UINT>(seconds) * 1000u, nullptr);
  std::printf("ready\n");
  std::fflush(stdout);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}

bool SetText(HKEY root, const char* key, const char* name, const char* value) {
  HKEY handle;
  if (RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const LONG result = RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                     static_cast<DWORD>(std::strlen(value) + 1));
  RegCloseKey(handle);
  return result == ERROR_SUCCESS;
}

int Prepare() {
  const bool ok = SetText(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", "Decorated", "N") &&
                  SetText(HKEY_CLASSES_ROOT, ".txt", nullptr, "txtfile");
  std::printf(ok ? "prepared\n" : "could not write the registry\n");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "prepare" && argc == 2) return Prepare();
  if (command == "box" && argc == 3) return Box(argv[2]);
  if (command == "tty" && argc == 4) return StandIn(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr,
               "usage: displayhelper prepare | box CAPTION | tty TITLE SECONDS\n");
  return 2;
}
