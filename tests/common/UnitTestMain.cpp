// The main of every unit test (label `unit`): GoogleTest and gmock with the
// fake resolver installed before any test runs. Unit tests run as any user
// and outside any private network namespace, so no name they look up may
// reach the machine's resolver.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/FakeResolver.h"

int main(int argc, char** argv) {
    testing::InitGoogleMock(&argc, argv);
    fake_resolver::Install();
    return RUN_ALL_TESTS();
}
