#pragma once

#include <QLibrary>
#include <QString>
#include <QStringList>

namespace kvr::qt {

// The file name of the module's package beside the host shell.
inline constexpr const char* kPackageFileName = "Pkg_kvr61400.so";

// The places a package is looked for, in order: the configured path (a
// file, or a folder holding kPackageFileName) when not empty, then the
// host's own folder, then its "../lib/kvr61400" folder.
QStringList PackageCandidates(const QString& configured_path, const QString& host_folder);

// A module package loaded into the host's process: a shared library whose
// entry "IniProc" (plain name, no arguments, no result) opens the module's
// screen. The library stays loaded until the process ends, because the
// screens it created live in the host's application object.
class PackageLoader {
 public:
  PackageLoader() = default;
  PackageLoader(const PackageLoader&) = delete;
  PackageLoader& operator=(const PackageLoader&) = delete;

  // Loads the first of the candidates that exists and resolves IniProc.
  // Loading an already loaded package does nothing. Throws kvr::Exception
  // with a Portuguese message naming the file and the loader's reason when
  // no candidate exists, the library does not load, or it lacks IniProc.
  void Load(const QStringList& candidates);
  bool Loaded() const { return entry_ != nullptr; }
  // The file loaded; empty before Load.
  QString FileName() const { return library_.fileName(); }

  // Calls IniProc; the package must be loaded. Exceptions of the entry pass
  // to the caller.
  void CallIniProc();

 private:
  QLibrary library_;
  void (*entry_)() = nullptr;
};

}  // namespace kvr::qt
