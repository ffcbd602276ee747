#include "Objects/SessionDetails.h"

SessionDetails& SessionDetails::getInstance() {
    // Created once, even when several threads ask first at the same moment; never released, so
    // background work may still use it while the process ends.
    static auto* instance = new SessionDetails();
    return *instance;
}
