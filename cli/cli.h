// kelflash-cli: one command per file, found through the table in cli.cpp.
#pragma once

#include <cstdio>
#include <string>

// Exit statuses of every command.
#define KELCLI_OK 0
#define KELCLI_FAIL 1
#define KELCLI_USAGE 2

struct KelCliCommand {
    const char *name;
    const char *summary;  // one line for the top-level help
    // argv[0] is the command's name; returns one of the statuses above.
    int (*run)(int argc, char **argv);
    void (*help)(FILE *out);
};

// Runs kelflash-cli with the process's arguments (argv[0] is the program).
int kelcli_run(int argc, char **argv);

// Every command, ending with an entry whose name is null.
const KelCliCommand *kelcli_commands();

// Shared by the commands.
// Library messages go to stderr: errors always, debug output only when verbose.
void kelcli_set_verbose(bool on);
bool kelcli_verbose();
void kelcli_install_log_sink();
// "kelflash-cli: <message>" on stderr; returns KELCLI_FAIL.
int kelcli_fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The message, then "Try 'kelflash-cli CMD --help'." on stderr; returns KELCLI_USAGE.
int kelcli_usage_error(const char *command, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// Whether path can be read as an image at all; if not, *why says what stops it:
// the system's error, a file of the wrong kind, a file too short for a header.
// What lies inside the header is left to the library's own checks. For the
// message after a failed library call.
bool kelcli_image_readable(const char *path, std::string *why);
// True for "-h" and "--help".
bool kelcli_is_help(const char *arg);
// True for "-v" and "--verbose" (and switches verbose logging on).
bool kelcli_take_verbose(const char *arg);

// The commands (one file each).
int kelcli_cmd_info(int argc, char **argv);
void kelcli_help_info(FILE *out);
int kelcli_cmd_extract(int argc, char **argv);
void kelcli_help_extract(FILE *out);
int kelcli_cmd_pack(int argc, char **argv);
void kelcli_help_pack(FILE *out);
int kelcli_cmd_devices(int argc, char **argv);
void kelcli_help_devices(FILE *out);
int kelcli_cmd_probe(int argc, char **argv);
void kelcli_help_probe(FILE *out);
int kelcli_cmd_burn(int argc, char **argv);
void kelcli_help_burn(FILE *out);
int kelcli_cmd_card(int argc, char **argv);
void kelcli_help_card(FILE *out);
int kelcli_cmd_report(int argc, char **argv);
void kelcli_help_report(FILE *out);
// The card command's subcommands; argv[0] is the subcommand's name.
int kelcli_cmd_card_list(int argc, char **argv);
int kelcli_cmd_card_write(int argc, char **argv);
int kelcli_cmd_card_format(int argc, char **argv);
