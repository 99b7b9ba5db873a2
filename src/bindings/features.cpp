#include "bindings/features.hpp"

#include "vm/jit_run.hpp"

// Sanitizers announce themselves differently: GCC defines __SANITIZE_*__,
// clang answers __has_feature.
#if defined(__has_feature)
#define TARNEL_HAS_FEATURE(x) __has_feature(x)
#else
#define TARNEL_HAS_FEATURE(x) 0
#endif

namespace tarnel::bindings {

std::vector<std::string_view> build_features() {
    std::vector<std::string_view> features;
    features.emplace_back("interpreter");
    features.emplace_back("in-process limits");
    if (const char* tier = jit::feature_name()) features.emplace_back(tier);
#ifdef NDEBUG
    features.emplace_back("debug assertions off");
#else
    features.emplace_back("debug assertions on");
#endif
#if !defined(__OPTIMIZE__)
    features.emplace_back("unoptimised build");
#endif
#if defined(__SANITIZE_ADDRESS__) || TARNEL_HAS_FEATURE(address_sanitizer)
    features.emplace_back("AddressSanitizer");
#endif
#if TARNEL_HAS_FEATURE(undefined_behavior_sanitizer)
    features.emplace_back("UndefinedBehaviorSanitizer");
#endif
#if defined(__SANITIZE_THREAD__) || TARNEL_HAS_FEATURE(thread_sanitizer)
    features.emplace_back("ThreadSanitizer");
#endif
    return features;
}

}  // namespace tarnel::bindings
