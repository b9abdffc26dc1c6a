#include "app/Collect.h"

#include <cstdio>

namespace tyq::app {

int runCollect() {
    std::fputs("tyqlmftp: --collect is not available yet\n", stderr);
    return 1;
}

}  // namespace tyq::app
