#include "ui/openpage.h"

#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <QTextStream>
#include <QUrl>

#include <map>
#include <optional>

namespace {

ShellOpenFn g_shellOpen = &QDesktopServices::openUrl;

const QString kHtmlType = QStringLiteral("text/html");

using Group = std::map<QString, QString>;
using KeyFile = std::map<QString, Group>;

// The key-file escapes (\s \n \t \r \\); any other backslash is kept for the argument quoting to see.
QString UnescapeValue(const QString& raw) {
  QString value;
  value.reserve(raw.size());
  for (qsizetype i = 0; i < raw.size(); ++i) {
    if (raw[i] != u'\\' || i + 1 == raw.size()) {
      value += raw[i];
      continue;
    }
    const QChar next = raw[++i];
    if (next == u's') value += u' ';
    else if (next == u'n') value += u'\n';
    else if (next == u't') value += u'\t';
    else if (next == u'r') value += u'\r';
    else if (next == u'\\') value += u'\\';
    else value += QStringView(raw).mid(i - 1, 2);
  }
  return value;
}

// Desktop entries and mimeapps.list files share one format. Localised keys ("Name[de]") are left out: only
// the plain ones are used.
std::optional<KeyFile> ReadKeyFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return std::nullopt;
  KeyFile groups;
  QString group;
  QTextStream in(&file);
  while (!in.atEnd()) {
    const QString line = in.readLine().trimmed();
    if (line.isEmpty() || line.startsWith(u'#')) continue;
    if (line.startsWith(u'[') && line.endsWith(u']')) {
      group = line.mid(1, line.size() - 2);
      continue;
    }
    const qsizetype equals = line.indexOf(u'=');
    if (group.isEmpty() || equals <= 0) continue;
    const QString key = line.left(equals).trimmed();
    if (key.contains(u'[')) continue;
    // The first occurrence of a key counts.
    groups[group].emplace(key, UnescapeValue(line.mid(equals + 1).trimmed()));
  }
  return groups;
}

QString Lookup(const KeyFile& file, const QString& group, const QString& key) {
  const auto found = file.find(group);
  if (found == file.end()) return QString();
  const auto value = found->second.find(key);
  return value == found->second.end() ? QString() : value->second;
}

// A list from the environment; unset, empty or relative entries fall back to the standard default.
QStringList BaseDirs(const char* variable, const QString& fallback) {
  QStringList dirs;
  for (const QString& dir : qEnvironmentVariable(variable).split(u':', Qt::SkipEmptyParts)) {
    if (QDir::isAbsolutePath(dir)) dirs << QDir::cleanPath(dir);
  }
  if (dirs.isEmpty()) {
    for (const QString& dir : fallback.split(u':', Qt::SkipEmptyParts)) dirs << QDir::cleanPath(dir);
  }
  return dirs;
}

QString Home() { return QDir::homePath(); }

QStringList ConfigDirs() {
  return BaseDirs("XDG_CONFIG_HOME", Home() + QStringLiteral("/.config")) +
         BaseDirs("XDG_CONFIG_DIRS", QStringLiteral("/etc/xdg"));
}

QStringList ApplicationDirs() {
  QStringList dirs = BaseDirs("XDG_DATA_HOME", Home() + QStringLiteral("/.local/share")) +
                     BaseDirs("XDG_DATA_DIRS", QStringLiteral("/usr/local/share:/usr/share"));
  for (QString& dir : dirs) dir += QStringLiteral("/applications");
  return dirs;
}

// A desktop file ID names applications/<sub>/<name>.desktop as "<sub>-<name>.desktop".
QString FindDesktopFile(const QString& id) {
  if (id.isEmpty() || id.contains(u'/')) return QString();
  for (const QString& dir : ApplicationDirs()) {
    const QString direct = dir + u'/' + id;
    if (QFileInfo(direct).isFile()) return direct;
    QDirIterator entries(dir, {QStringLiteral("*.desktop")}, QDir::Files, QDirIterator::Subdirectories);
    while (entries.hasNext()) {
      const QString path = entries.next();
      if (QDir(dir).relativeFilePath(path).replace(u'/', u'-') == id) return path;
    }
  }
  return QString();
}

// The first listed application that is installed.
QString FirstInstalled(const QString& list) {
  for (const QString& id : list.split(u';', Qt::SkipEmptyParts)) {
    const QString path = FindDesktopFile(id.trimmed());
    if (!path.isEmpty()) return path;
  }
  return QString();
}

// The desktop file of the default application for HTML documents, searched as the desktop's own
// "xdg-mime query default text/html" does: mimeapps.list (desktop-specific first) in the configuration and
// application folders, then the older defaults.list, then the association cache.
QString HtmlHandlerEntry() {
  QStringList desktops;
  for (const QString& desktop : qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(u':', Qt::SkipEmptyParts)) {
    desktops << desktop.toLower();
  }
  QStringList lists;
  for (const QString& dir : ConfigDirs() + ApplicationDirs()) {
    for (const QString& desktop : desktops) lists << dir + u'/' + desktop + QStringLiteral("-mimeapps.list");
    lists << dir + QStringLiteral("/mimeapps.list");
  }
  const QString defaults = QStringLiteral("Default Applications");
  for (const QString& list : lists) {
    if (const auto file = ReadKeyFile(list)) {
      const QString entry = FirstInstalled(Lookup(*file, defaults, kHtmlType));
      if (!entry.isEmpty()) return entry;
    }
  }
  for (const auto& [name, group] : {std::pair{QStringLiteral("/defaults.list"), defaults},
                                    std::pair{QStringLiteral("/mimeinfo.cache"), QStringLiteral("MIME Cache")}}) {
    for (const QString& dir : ApplicationDirs()) {
      if (const auto file = ReadKeyFile(dir + name)) {
        const QString entry = FirstInstalled(Lookup(*file, group, kHtmlType));
        if (!entry.isEmpty()) return entry;
      }
    }
  }
  return QString();
}

bool IsFileCode(QChar code) { return code == u'u' || code == u'U' || code == u'f' || code == u'F'; }

// Where the command is cut: at the first file or address placeholder written in double quotes, quotes
// included; else at the first one written bare; else nowhere. "%%" is a literal percent sign, never a
// placeholder.
qsizetype CutPosition(const QString& exec) {
  qsizetype bare = -1;
  for (qsizetype i = 0; i + 1 < exec.size(); ++i) {
    if (exec[i] != u'%') continue;
    if (exec[i + 1] == u'%') {
      ++i;
      continue;
    }
    if (!IsFileCode(exec[i + 1])) continue;
    if (i > 0 && exec[i - 1] == u'"' && i + 2 < exec.size() && exec[i + 2] == u'"') return i - 1;
    if (bare < 0) bare = i;
  }
  return bare < 0 ? exec.size() : bare;
}

// Splits a command line by the desktop-entry quoting rules: blanks separate arguments; inside double
// quotes a backslash escapes '"', '`', '$' and '\'. Whether each argument was quoted is kept, so that a
// quoted "%c" stays one argument even when it expands to nothing.
struct Argument {
  QString text;
  bool quoted = false;
};

QList<Argument> SplitCommand(const QString& command) {
  QList<Argument> arguments;
  Argument current;
  bool inArgument = false;
  bool inQuotes = false;
  for (qsizetype i = 0; i < command.size(); ++i) {
    const QChar c = command[i];
    if (inQuotes) {
      if (c == u'"') {
        inQuotes = false;
      } else if (c == u'\\' && i + 1 < command.size() && QStringLiteral("\"`$\\").contains(command[i + 1])) {
        current.text += command[++i];
      } else {
        current.text += c;
      }
    } else if (c == u' ' || c == u'\t' || c == u'\n') {
      if (inArgument) arguments << current;
      current = Argument();
      inArgument = false;
    } else if (c == u'"') {
      inQuotes = inArgument = current.quoted = true;
    } else {
      current.text += c;
      inArgument = true;
    }
  }
  if (inArgument) arguments << current;
  return arguments;
}

// Expands the field codes left before the cut: %i, %c and %k as the desktop-entry rules say, "%%" to "%",
// and any other (deprecated or later) code to nothing, so that no literal "%x" reaches the program.
QStringList ExpandFieldCodes(const QList<Argument>& arguments, const KeyFile& entry, const QString& path) {
  const QString group = QStringLiteral("Desktop Entry");
  QStringList expanded;
  for (const Argument& argument : arguments) {
    if (argument.text == QStringLiteral("%i")) {
      const QString icon = Lookup(entry, group, QStringLiteral("Icon"));
      if (!icon.isEmpty()) expanded << QStringLiteral("--icon") << icon;
      continue;
    }
    QString text;
    for (qsizetype i = 0; i < argument.text.size(); ++i) {
      const QChar c = argument.text[i];
      if (c != u'%' || i + 1 == argument.text.size()) {
        text += c;
        continue;
      }
      const QChar code = argument.text[++i];
      if (code == u'%') text += u'%';
      else if (code == u'c') text += Lookup(entry, group, QStringLiteral("Name"));
      else if (code == u'k') text += path;
    }
    if (!text.isEmpty() || argument.quoted) expanded << text;
  }
  return expanded;
}

bool StartHtmlHandler(const QString& address) {
  const QString path = HtmlHandlerEntry();
  if (path.isEmpty()) return false;
  const auto entry = ReadKeyFile(path);
  if (!entry) return false;
  const QString exec = Lookup(*entry, QStringLiteral("Desktop Entry"), QStringLiteral("Exec"));
  QStringList command = ExpandFieldCodes(SplitCommand(exec.left(CutPosition(exec))), *entry, path);
  if (command.isEmpty() || command.front().isEmpty()) return false;
  // The address is an argument of its own, never re-split, so no character of it can become a second
  // argument or an option of the handler.
  command << address;
  const QString program = command.takeFirst();
  return QProcess::startDetached(program, command);
}

}  // namespace

ShellOpenFn SetShellOpen(ShellOpenFn open) {
  const ShellOpenFn previous = g_shellOpen;
  g_shellOpen = open != nullptr ? open : &QDesktopServices::openUrl;
  return previous;
}

bool OpenWebPage(const QString& address) {
  if (address.isEmpty()) return false;
  if (g_shellOpen(QUrl(address, QUrl::TolerantMode))) return true;
  return StartHtmlHandler(address);
}
