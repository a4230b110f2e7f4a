#pragma once

// Everything in this directory belongs to the surrounding platform: the host
// process provides the definitions in its own libraries. The declarations are
// given default visibility so that a library built with hidden visibility
// still binds to whichever platform library the host has loaded, instead of
// expecting the symbols inside itself.
#define ZEB_PLATFORM_API __attribute__((visibility("default")))
