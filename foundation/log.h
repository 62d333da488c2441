#ifndef DORVISH_LOG_H
#define DORVISH_LOG_H

// Path pattern of the daily log file: "%s" stands for the date (YYYYMMDD), "%%" for
// a percent sign. Empty until setpath; logsave falls back to "file.log".
extern char __gLogPath[256];

void setpath(const char* pattern);
// Appends "HH:MM:SS : " + message + "\n". The format is always a program text;
// outside data goes in as an argument.
void logsave(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Appends the message alone, without time prefix and newline.
void _logsave(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Logs the message and "Exit", then exits with status 1.
void logexit(const char* format, ...) __attribute__((format(printf, 1, 2), noreturn));

#endif
