// Small helpers shared by the host tests.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "app/RunMain.h"
#include "platform/fake/FakePlatform.h"
#include "policy/PolicySettings.h"

// Console bytes as the tool writes them: every "\n" of a message becomes CR LF.
inline std::string Crlf(const std::string& text)
{
    std::string result;
    for (char ch : text) {
        if (ch == '\n') {
            result += '\r';
        }
        result += ch;
    }
    return result;
}

// A mutable argument vector built from UTF-16 literals, element 0 the program.
struct ARGS {
    std::vector<std::u16string> storage;
    std::vector<WCHAR*> pointers;
};

inline void MakeArgs(ARGS* pArgs, std::initializer_list<std::u16string> elements)
{
    pArgs->storage.assign(elements);
    pArgs->pointers.clear();
    for (std::u16string& element : pArgs->storage) {
        pArgs->pointers.push_back(&element[0]);
    }
    pArgs->pointers.push_back(nullptr);
}

// One run of the tool as a fresh process would make it.
inline HRESULT RunTool(std::initializer_list<std::u16string> elements)
{
    static ARGS s_args;  // the vector outlives the run, as a process's does
    MakeArgs(&s_args, elements);
    // Each run here stands for a fresh process: the found marks start clear.
    for (POLICY_SETTING& row : g_PolicySettings) {
        row.bFound = 0;
    }
    return RunMain(static_cast<int>(s_args.storage.size()), s_args.pointers.data());
}

inline bool Called(const char* pszName)
{
    return std::find(g_fake.calls.begin(), g_fake.calls.end(), pszName) != g_fake.calls.end();
}
