// VOREL_UNDER_ASAN is defined in a build with AddressSanitizer, where every
// start of the driver is slower and long tests do fewer rounds.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define VOREL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOREL_UNDER_ASAN 1
#endif
#endif
