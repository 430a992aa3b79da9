// A shared module that the program loads at run time, so that what it brings (a
// toolkit and its libraries) is mapped only by the runs that need it.
#pragma once

#include <string>
#include <vector>

// Loads the first file named fileName found in one of folders (OS paths, each
// ending in "/"), tried in order, with every symbol resolved at once. The module
// stays loaded until the process ends. Returns nullptr with the reason in error
// (no folder has the file, or the loader refused it: its message).
void* LoadModule(const std::vector<std::string>& folders, const std::string& fileName, std::string& error);

// The address of the symbol name in a module LoadModule returned, or nullptr.
void* ModuleSymbol(void* module, const char* name);
