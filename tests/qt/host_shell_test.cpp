// The shell's settings: the server address and the package's place.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include "platform/errors.h"
#include "qt/host_shell.h"
#include "qt/package_loader.h"
#include "qt/server_address.h"

namespace kvr::qt {
namespace {

TEST(ServerAddressText, HostAndPort) {
  const struct {
    const char* text;
    bool valid;
    const char* host;
    int port;
  } cases[] = {
      {"127.0.0.1:8061", true, "127.0.0.1", 8061},
      {"servidor.local:1", true, "servidor.local", 1},
      {"servidor:65535", true, "servidor", 65535},
      {"servidor:65536", false, "", 0},
      {"servidor:0", false, "", 0},
      {"servidor:", false, "", 0},
      {":8061", false, "", 0},
      {"servidor", false, "", 0},
      {"servidor:80a", false, "", 0},
      {"meu servidor:8061", false, "", 0},
      {"https://servidor.local:8443", true, "https://servidor.local", 8443},
      {"http://servidor:8061", true, "servidor", 8061},
      {"ftp://servidor:21", false, "", 0},
      {"https://servidor:8443/kvr", false, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto address = ParseServerAddress(c.text);
    ASSERT_EQ(address.has_value(), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(address->host, c.host);
    EXPECT_EQ(address->port, c.port);
  }
}

class ShellSettingsTest : public ::testing::Test {
 protected:
  QTemporaryDir folder;
  QSettings settings{folder.filePath("kvr61400-host.ini"), QSettings::IniFormat};
};

TEST_F(ShellSettingsTest, CommandLineThenSavedSettingsThenDefault) {
  EXPECT_EQ(ResolveServerAddress({"kvr61400-host"}, settings).host, "127.0.0.1");
  EXPECT_EQ(ResolveServerAddress({"kvr61400-host"}, settings).port, 8061);
  settings.setValue(kServerSettingsKey, "10.1.1.1:9000");
  EXPECT_EQ(ResolveServerAddress({"kvr61400-host"}, settings).host, "10.1.1.1");
  EXPECT_EQ(ResolveServerAddress({"kvr61400-host"}, settings).port, 9000);
  const ServerAddress given = ResolveServerAddress({"kvr61400-host", "--server", "localhost:7000"}, settings);
  EXPECT_EQ(given.host, "localhost");
  EXPECT_EQ(given.port, 7000);
  EXPECT_EQ(ResolveServerAddress({"kvr61400-host", "--server=localhost:7001"}, settings).port, 7001);
  // The CA file of HTTPS the same way.
  EXPECT_EQ(ResolveServerAddress({"kvr61400-host"}, settings).ca_file, "");
  settings.setValue(kCaFileSettingsKey, "/etc/kvr/ca.pem");
  EXPECT_EQ(ResolveServerAddress({"kvr61400-host"}, settings).ca_file, "/etc/kvr/ca.pem");
  const ServerAddress secure =
      ResolveServerAddress({"kvr61400-host", "--server", "https://h:8443", "--ca-file", "a.pem"}, settings);
  EXPECT_EQ(secure.host, "https://h");
  EXPECT_EQ(secure.ca_file, "a.pem");
  EXPECT_EQ(ResolveHostShellOptions({"kvr61400-host", "--ca-file=b.pem"}, settings).server.ca_file, "b.pem");
}

TEST_F(ShellSettingsTest, MalformedAddressesAreRefusedQuotingTheValue) {
  try {
    ResolveServerAddress({"kvr61400-host", "--server", "localhost"}, settings);
    FAIL() << "no error";
  } catch (const Exception& error) {
    EXPECT_STREQ(error.what(),
                 "Endereço do servidor inválido em --server: \"localhost\" (use HOST:PORTA, por exemplo "
                 "127.0.0.1:8061).");
  }
  EXPECT_THROW(ResolveServerAddress({"kvr61400-host", "--server"}, settings), Exception);
  settings.setValue(kServerSettingsKey, "x:y");
  EXPECT_THROW(ResolveServerAddress({"kvr61400-host"}, settings), Exception);
}

TEST_F(ShellSettingsTest, ShellOptions) {
  settings.setValue(kPackageSettingsKey, "/opt/kvr/lib");
  HostShellOptions options = ResolveHostShellOptions({"kvr61400-host"}, settings);
  EXPECT_EQ(options.package_path, "/opt/kvr/lib");
  EXPECT_FALSE(options.open_import_ofx);
  options = ResolveHostShellOptions({"kvr61400-host", "--pacote", "/tmp/p.so", "--abrir", "--server", "h:1"},
                                    settings);
  EXPECT_EQ(options.package_path, "/tmp/p.so");
  EXPECT_TRUE(options.open_import_ofx);
  EXPECT_EQ(options.server.host, "h");
  EXPECT_THROW(ResolveHostShellOptions({"kvr61400-host", "--outra"}, settings), Exception);
  // A statement named as the file manager passes it (the entry's %f) opens
  // the screen with it; a second one is no statement to open.
  options = ResolveHostShellOptions({"kvr61400-host", "--abrir", "/home/financeiro/extrato.ofx"}, settings);
  EXPECT_TRUE(options.open_import_ofx);
  EXPECT_EQ(options.statement_file, "/home/financeiro/extrato.ofx");
  EXPECT_THROW(ResolveHostShellOptions({"kvr61400-host", "a.ofx", "b.ofx"}, settings), Exception);
}

TEST(PackagePlaces, ConfiguredPathThenBesideTheShell) {
  QTemporaryDir folder;
  EXPECT_EQ(PackageCandidates("", "/opt/kvr/bin"),
            (QStringList{"/opt/kvr/bin/Pkg_kvr61400.so", "/opt/kvr/bin/../lib/kvr61400/Pkg_kvr61400.so"}));
  EXPECT_EQ(PackageCandidates("/tmp/outro.so", "/opt/kvr/bin").first(), "/tmp/outro.so");
  EXPECT_EQ(PackageCandidates(folder.path(), "/opt/kvr/bin").first(), folder.filePath("Pkg_kvr61400.so"));
}

TEST(PackageLoading, MissingPackageIsReportedWithItsPlaces) {
  PackageLoader loader;
  try {
    loader.Load({"/nao/existe/Pkg_kvr61400.so"});
    FAIL() << "no error";
  } catch (const Exception& error) {
    EXPECT_STREQ(error.what(), "Pacote do módulo não encontrado: \"/nao/existe/Pkg_kvr61400.so\".");
  }
  EXPECT_FALSE(loader.Loaded());
  EXPECT_THROW(loader.CallIniProc(), Exception);
}

#if defined(KVR_RUN_DEMO) && defined(KVR_BUILD_DIR) && defined(KVR_SERVER_BIN)
// `make run` with DISPLAY set to a display nobody serves: Qt would abort the
// shell, so the demo says why and runs headless instead.
TEST(MakeRun, DisplayThatDoesNotOpenFallsBackToTheHeadlessDemo) {
  int display = 4242;
  while (QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(display))) ++display;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("DISPLAY", QString(":%1").arg(display));
  environment.remove("WAYLAND_DISPLAY");
  environment.remove("QT_QPA_PLATFORM");
  QProcess demo;
  demo.setProcessEnvironment(environment);
  demo.setProcessChannelMode(QProcess::MergedChannels);
  demo.start(KVR_RUN_DEMO, {KVR_BUILD_DIR});
  ASSERT_TRUE(demo.waitForFinished(120000)) << "the demo did not end";
  const QString output = QString::fromUtf8(demo.readAll());
  EXPECT_EQ(demo.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(demo.exitCode(), 0) << output.toStdString();
  EXPECT_TRUE(output.contains(QString::fromUtf8("Não foi possível abrir o display \":%1\"").arg(display)))
      << output.toStdString();
  EXPECT_TRUE(output.contains("Arquivo importado com sucesso.")) << output.toStdString();
  EXPECT_TRUE(output.contains("servidor parado.")) << output.toStdString();
}
#endif

#if defined(KVR_HOST_BIN)
// Without a display the shell says so in Portuguese and exits with a status
// of its own, after checking its arguments (a usage error stays one).
TEST(HostProgram, WithoutADisplayItSaysSoAfterCheckingItsArguments) {
  int display = 4242;
  while (QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(display))) ++display;
  const QString unserved = QString(":%1").arg(display);
  QTemporaryDir home;
  struct Case {
    QString display;
    QStringList arguments;
    int status;
    QString first_line;
  };
  const QString after = QString::fromUtf8(
      " Abra o programa numa sessão gráfica (ou ajuste a variável DISPLAY); sem display, importe com "
      "\"kvr61400 import\".");
  const Case cases[] = {
      {unserved, {}, 69, QString::fromUtf8("kvr61400-host: não foi possível abrir o display \"%1\".").arg(unserved) + after},
      {unserved, {"--testar-display"}, 69,
       QString::fromUtf8("kvr61400-host: não foi possível abrir o display \"%1\".").arg(unserved) + after},
      {"", {"--server", "127.0.0.1:8061"}, 69,
       QString::fromUtf8("kvr61400-host: não há display: as variáveis DISPLAY e WAYLAND_DISPLAY estão vazias.") + after},
      {unserved, {"--bogus"}, 64, QString::fromUtf8("kvr61400-host: Opção desconhecida: \"--bogus\".")},
      {unserved, {"-platform", "xcb", "--bogus"}, 64, QString::fromUtf8("kvr61400-host: Opção desconhecida: \"--bogus\".")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.join(' ').toStdString());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_QPA_PLATFORM");
    environment.remove("WAYLAND_DISPLAY");
    environment.remove("DISPLAY");
    environment.insert("HOME", home.path());
    environment.insert("XDG_CONFIG_HOME", home.path());
    if (!c.display.isEmpty()) environment.insert("DISPLAY", c.display);
    QProcess host;
    host.setProcessEnvironment(environment);
    host.start(KVR_HOST_BIN, c.arguments);
    ASSERT_TRUE(host.waitForFinished(30000));
    const QString err = QString::fromUtf8(host.readAllStandardError());
    EXPECT_EQ(QProcess::NormalExit, host.exitStatus()) << err.toStdString();
    EXPECT_EQ(c.status, host.exitCode()) << err.toStdString();
    EXPECT_EQ(c.first_line.toStdString(), err.section('\n', 0, 0).toStdString());
    EXPECT_FALSE(err.contains("This application failed to start")) << err.toStdString();
  }
}
#endif

}  // namespace
}  // namespace kvr::qt
