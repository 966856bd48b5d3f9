// Runs a cleanup when the scope is left, however it is left. Each operation
// that acquires a handle sets one of these up right after the acquisition
// point, with a closer that checks whether the handle is set.
#pragma once

#include <utility>

template <typename FN>
struct SCOPE_EXIT {
    explicit SCOPE_EXIT(FN fn) : m_fn(std::move(fn)) {}
    SCOPE_EXIT(const SCOPE_EXIT&) = delete;
    SCOPE_EXIT& operator=(const SCOPE_EXIT&) = delete;
    ~SCOPE_EXIT() { m_fn(); }
    FN m_fn;
};

template <typename FN>
SCOPE_EXIT<FN> MakeScopeExit(FN fn)
{
    return SCOPE_EXIT<FN>(std::move(fn));
}

#include "platform/Platform.h"

// One closer per handle kind, for the guards and for closes on the way.
// Each marks the handle unset, since it is gone whether or not the close
// succeeds, and returns the close's result (TRUE when nothing was open).
inline BOOL CloseFileIfSet(HANDLE* phFile)  // files: unset is INVALID_HANDLE_VALUE
{
    if (*phFile == INVALID_HANDLE_VALUE) {
        return TRUE;
    }
    HANDLE hFile = *phFile;
    *phFile = INVALID_HANDLE_VALUE;
    return PlatformCloseFile(hFile);
}
