// Hands a web address to the desktop: first its handler for the address's scheme, then, when that reports
// failure, the application registered as the default for HTML documents.
#pragma once

#include <QString>

class QUrl;

// True when either step reported success; an empty address fails at once.
bool OpenWebPage(const QString& address);

// The first step; QDesktopServices::openUrl unless replaced. Tests replace it so that no desktop handler
// (and so no real browser) is ever reached. Returns the step it replaces.
using ShellOpenFn = bool (*)(const QUrl& url);
ShellOpenFn SetShellOpen(ShellOpenFn open);
