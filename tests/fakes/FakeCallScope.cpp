#include "tests/fakes/FakeCallScope.h"

int& Zentrox::test::fakeCallDepth() {
    static thread_local int depth = 0;
    return depth;
}
