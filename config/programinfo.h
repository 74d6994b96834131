#pragma once

// What the program says about itself, in the About box and on the command line.

#include <string_view>

inline constexpr std::string_view ABOUT_VERSION_TEXT = "Ostrelle Version 1.0";
