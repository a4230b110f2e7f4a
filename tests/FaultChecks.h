#pragma once

// Checks shared by the tests that make the platform fail or throw.

#include <map>
#include <string>
#include <vector>

#include "platform/fake/FakePlatform.h"

namespace faultchecks {

// Describes each logging context, settings object, manager client or message
// buffer that was made and not destroyed again, in the calls recorded so
// far: none may outlive the operation that made it, thrown or not.
inline std::vector<std::string> helpersLeftBehind(const fakeplatform::FakePlatform& fake) {
    using fakeplatform::Op;
    const std::map<Op, Op> pairs = {{Op::EventMade, Op::EventGone},
                                    {Op::PlatformInfoMade, Op::PlatformInfoGone},
                                    {Op::ClientMade, Op::ClientGone},
                                    {Op::BufferMade, Op::BufferGone}};
    std::map<Op, int> open;
    for (const auto& call : fake.allCalls()) {
        if (call.threw) continue;  // a constructor that threw made nothing
        if (pairs.count(call.op)) ++open[call.op];
        for (const auto& [made, gone] : pairs) {
            if (call.op == gone) --open[made];
        }
    }
    std::vector<std::string> left;
    for (const auto& [op, count] : open) {
        if (count != 0) left.push_back(std::string(fakeplatform::opName(op)) + " x" +
                                       std::to_string(count));
    }
    return left;
}

}  // namespace faultchecks
