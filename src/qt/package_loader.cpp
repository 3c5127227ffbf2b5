#include "qt/package_loader.h"

#include <algorithm>

#include <QDir>
#include <QFileInfo>

#include "platform/errors.h"

namespace kvr::qt {

QStringList PackageCandidates(const QString& configured_path, const QString& host_folder) {
  QStringList candidates;
  if (!configured_path.isEmpty()) {
    const QFileInfo info(configured_path);
    candidates.append(info.isDir() ? QDir(configured_path).filePath(kPackageFileName) : configured_path);
  }
  candidates.append(QDir(host_folder).filePath(kPackageFileName));
  candidates.append(QDir(host_folder).filePath(QString("../lib/kvr61400/") + kPackageFileName));
  return candidates;
}

void PackageLoader::Load(const QStringList& candidates) {
  if (Loaded()) return;
  const auto file = std::find_if(candidates.begin(), candidates.end(),
                                 [](const QString& candidate) { return QFileInfo(candidate).isFile(); });
  const QString found = file == candidates.end() ? QString() : QFileInfo(*file).absoluteFilePath();
  if (found.isEmpty()) {
    throw Exception("Pacote do módulo não encontrado: \"" + candidates.join("\", \"").toStdString() + "\".");
  }
  library_.setFileName(found);
  if (!library_.load()) {
    throw Exception("Não foi possível carregar o pacote \"" + found.toStdString() +
                    "\": " + library_.errorString().toStdString());
  }
  auto* entry = reinterpret_cast<void (*)()>(library_.resolve("IniProc"));
  if (entry == nullptr) {
    throw Exception("O pacote \"" + found.toStdString() + "\" não exporta IniProc.");
  }
  entry_ = entry;
}

void PackageLoader::CallIniProc() {
  if (entry_ == nullptr) throw Exception("Pacote do módulo não carregado.");
  entry_();
}

}  // namespace kvr::qt
