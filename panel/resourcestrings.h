#pragma once

#include <QString>

// The program's string table. Unknown ids give an empty text, so a caller can
// test for "no such string" the way it would with a resource loader.
QString LoadResourceString(int id);
