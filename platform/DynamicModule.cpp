#include "platform/DynamicModule.h"

#include <dlfcn.h>
#include <sys/stat.h>

void* LoadModule(const std::vector<std::string>& folders, const std::string& fileName, std::string& error) {
  for (const std::string& folder : folders) {
    const std::string path = folder + fileName;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // RTLD_NOW: a module that does not fit this program fails here, not in the
    // middle of a run.
    if (void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return module;
    const char* reason = ::dlerror();
    error = reason ? reason : path + " cannot be loaded";
    return nullptr;
  }
  error = fileName + " was not found";
  if (!folders.empty()) {
    error += " in ";
    for (size_t i = 0; i < folders.size(); ++i) error += (i ? " or " : "") + folders[i];
  }
  return nullptr;
}

void* ModuleSymbol(void* module, const char* name) { return module ? ::dlsym(module, name) : nullptr; }
