#pragma once

// One section of the store Ostrelle.ini, read without the window's toolkit:
// the panel writes the store through Qt's INI settings, and ostrellectl
// takes some of the panel's choices from it (the stream's, for one). Values
// come back as Qt would read them as text: quotes taken off, backslash
// escapes undone, a leading "@@" made "@".

#include <map>
#include <string>
#include <string_view>

using IniValues = std::map<std::string, std::string, std::less<>>;

// The keys and values of [`section`] at `path`. False with the reason when
// the store cannot be read whole (not a regular file, larger than a store
// ever is, unreadable); a store that does not exist, or has no such section,
// gives no values and true.
bool ReadIniSection(const std::string& path, std::string_view section, IniValues& values, std::string& error);

// A value as Qt's INI writer escapes it, as text.
std::string IniUnescaped(std::string_view raw);
