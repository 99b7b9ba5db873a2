// What this build of the extension has: the module attribute
// `tarnel_vm.__features__`, shown by `tarnel --version`.
#pragma once

#include <string_view>
#include <vector>

namespace tarnel::bindings {

// Short descriptions, most important first: the engines and abilities of
// the build, then facts about how it was compiled. A new capability adds
// its line here.
std::vector<std::string_view> build_features();

}  // namespace tarnel::bindings
