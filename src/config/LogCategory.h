#pragma once

#include <QLoggingCategory>

// "kelvaro.update", enabled from the info level: every log line and every error the program shows
// is also written to standard error through it, one line each, so that an unattended run can be
// followed from a terminal or a service log. The program keeps no log file.
Q_DECLARE_LOGGING_CATEGORY(lcKelvaroUpdate)

// Writes text as one info line of lcKelvaroUpdate: line breaks inside it become blanks.
void logUpdateLine(const QString& text);
