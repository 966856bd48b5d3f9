// Small helpers shared by the host tests.
#pragma once

#include <string>
#include <vector>

#include "platform/fake/FakePlatform.h"

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
