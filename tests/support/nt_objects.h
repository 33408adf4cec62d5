/*
 * nt_objects.h - small owners for tests that call platform routines
 * directly: a counted string over text it owns, and a kernel handle that
 * is closed, and checked to close, at the end of its scope.
 */
#pragma once

#include "tests/support/kernel_test.h"

#include <string>

namespace qtest {

/* Length and MaximumLength are the text's bytes; an empty text has no
 * buffer. */
class OwnedName {
public:
    explicit OwnedName(std::u16string text) : text_(std::move(text))
    {
        us_.Length = us_.MaximumLength = (USHORT)(text_.size() * sizeof(WCHAR));
        us_.Buffer = text_.empty() ? nullptr : &text_[0];
    }
    OwnedName(const OwnedName &) = delete;
    OwnedName &operator=(const OwnedName &) = delete;
    PUNICODE_STRING get() { return &us_; }

private:
    std::u16string text_;
    UNICODE_STRING us_;
};

class ScopedHandle {
public:
    ScopedHandle() = default;
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;
    ~ScopedHandle() { Close(); }
    HANDLE *out() { return &h_; }
    HANDLE get() const { return h_; }
    void Close()
    {
        if (h_) {
            EXPECT_STATUS(STATUS_SUCCESS, ZwClose(h_));
        }
        h_ = nullptr;
    }

private:
    HANDLE h_ = nullptr;
};

} // namespace qtest
