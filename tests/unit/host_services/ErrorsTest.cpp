// Error values: Win32 codes, shared detail and the text forms.
#include <string>

#include <gtest/gtest.h>

#include "host/LumError.h"

namespace {

FXCodeLocation At(const char* function, int line) {
    return FXCodeLocation("NASShareBrowse", function, line);
}

TEST(HostErrors, Win32NumbersRoundTripThroughTheCode) {
    for (unsigned int win32 :
         {WIN32_ERROR_BAD_ARGUMENTS, WIN32_ERROR_INTERNAL_ERROR, WIN32_ERROR_NOT_SUPPORTED}) {
        SCOPED_TRACE(win32);
        const CLumError plain = FXErrorUtil::ErrorWin32(At("f()", 1), win32);
        const CLumError texted = FXErrorUtil::ErrorWin32(At("f()", 2), win32, "why %d", 7);
        for (const CLumError& e : {plain, texted}) {
            EXPECT_TRUE(e.IsError());
            EXPECT_EQ(static_cast<int32_t>(0x80070000u | win32), e.GetCode());
            EXPECT_EQ(win32, FXErrorUtil::GetWin32(e));
        }
    }
    EXPECT_EQ(static_cast<int32_t>(0x8007054Fu),
              FXErrorUtil::ErrorWin32(At("f()", 1), 1359).GetCode());
}

TEST(HostErrors, SuccessHasNoCodeAndStaysSuccessWhenPushed) {
    CLumError ok = CLumError::Success();
    ok.Push(At("g()", 3));
    EXPECT_FALSE(ok.IsError());
    EXPECT_EQ(0, ok.GetCode());
    EXPECT_EQ(0u, FXErrorUtil::GetWin32(ok));
    EXPECT_EQ("Success", ok.AsString());
    EXPECT_EQ(0u, FXErrorUtil::GetWin32(CLumError(-5, {})));  // not a Win32 error
}

TEST(HostErrors, LogFormHasCodeTextAndEveryLocationInOrder) {
    CLumError e = FXErrorUtil::ErrorWin32(At("bool Inner(int)", 10), 1359,
                                          "Export list of [%s] failed", "nas1");
    CLumError copy = e;
    copy.Push(At("bool Outer()", 20));  // copies share their detail
    EXPECT_EQ(
        "Error 0x8007054F (Win32 1359): Export list of [nas1] failed"
        " at NASShareBrowse:bool Inner(int):10 <- NASShareBrowse:bool Outer():20",
        e.AsString());
    EXPECT_EQ(&e, &e.Push(At("h()", 30)));
    EXPECT_EQ("Error 0x8007054F (Win32 1359): Export list of [nas1] failed",
              e.AsString(ERROR_OUTPUT_SHORT));
    EXPECT_EQ("Export list of [nas1] failed", e.AsString(ERROR_OUTPUT_USER));
}

TEST(HostErrors, ErrorsWithoutTextReadSensiblyToAPerson) {
    const CLumError bad = FXErrorUtil::ErrorWin32(At("f()", 1), WIN32_ERROR_BAD_ARGUMENTS);
    EXPECT_EQ("Bad arguments (Win32 error 160)", bad.AsString(ERROR_OUTPUT_USER));
    EXPECT_EQ("Error 0x800700A0 (Win32 160): Bad arguments at NASShareBrowse:f():1",
              bad.AsString());
}

TEST(HostErrors, FormattedTextIsKeptWholeAndValuesAreNotFormats) {
    const std::string longValue(5000, 'x');
    const CLumError e =
        FXErrorUtil::ErrorWin32(At("f()", 1), 1359, "[%s] [%s]", longValue.c_str(), "%s%n");
    EXPECT_EQ("[" + longValue + "] [%s%n]", e.AsString(ERROR_OUTPUT_USER));
}

}  // namespace
