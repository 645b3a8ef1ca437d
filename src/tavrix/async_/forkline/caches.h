// The caches that each child's step search reads, warmed in the parent just
// before the fork so that every child inherits them warm.
#pragma once

#include "runtime.h"

namespace forkline {

class WarmCaches {
public:
    // Warms them for the chain of frames active now. Never fails with an
    // Exception: warming is an optimisation (anything else propagates).
    WarmCaches();
    // Takes back what only the children needed (the records of files that no
    // module owns), so that the parent's inspect tables are as they would be.
    ~WarmCaches();
    WarmCaches(const WarmCaches&) = delete;
    WarmCaches& operator=(const WarmCaches&) = delete;

private:
    rt::Ref table_;     // inspect.modulesbyfile
    rt::Ref unowned_;   // list of the names recorded there as owned by no module
};

}  // namespace forkline
