// The three ways a panorama build is broken off. They carry no data; the engines
// catch them at their entry points and turn them into a build status.
#pragma once

#include <type_traits>

// A build step failed.
struct panorama_error {};

// The user cancelled; a handler for panorama_error also catches a cancellation.
struct panorama_abort : panorama_error {};

// The photos do not overlap enough to build a panorama (not a panorama_error).
struct panorama_cannot_build {};

// Handlers rely on this order: catching panorama_error catches a cancellation too, but
// never a build that found nothing to join.
static_assert(std::is_base_of_v<panorama_error, panorama_abort> &&
              !std::is_base_of_v<panorama_error, panorama_cannot_build>);
