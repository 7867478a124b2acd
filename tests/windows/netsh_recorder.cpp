// Stands in for netsh.exe in the Wine prefix of the installer test (tests/windows): appends its
// command line, as UTF-8, to C:\netsh-calls.txt. Like netsh, it fails a delete (netsh does when
// no rule matches, as on a fresh machine), so the test also shows that the installer goes on.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cwchar>

int main() {
    const wchar_t* line = GetCommandLineW();
    char utf8[8192];
    if (WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof utf8, nullptr, nullptr) == 0)
        return 2;
    std::FILE* log = _wfopen(L"C:\\netsh-calls.txt", L"ab");
    if (log == nullptr)
        return 2;
    std::fprintf(log, "%s\n", utf8);
    std::fclose(log);
    return std::wcsstr(line, L" delete ") != nullptr ? 1 : 0;
}
