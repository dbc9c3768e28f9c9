/*
 * run_options.h - the command line of vorrel-run, the same on every
 * system: options first, then the program and its arguments untouched.
 */
#ifndef VR_RUN_OPTIONS_H
#define VR_RUN_OPTIONS_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "vorrel.h"

struct VR_RunOptions {
    const char *stats;    /* VORREL_STATS for the program: "1" or a path; null: leave as it is */
    const char *map;      /* VORREL_MAP for the program; null: leave as it is */
    const char *library;  /* the library to load instead of the one beside vorrel-run */
    const char *check;    /* VORREL_CHECK for the program ("1"); null: leave as it is */
    const char *checkReport; /* VORREL_CHECK_REPORT: the checking mode's report file */
    const char *checkExitCode; /* VORREL_CHECK_EXITCODE: the status after findings */
    int programIndex;     /* argv index of the program; 0 when none was given */
    int help;
    int version;
    std::string error;    /* what is wrong with the command line, or empty */
};

static const char kRunUsage[] =
    "usage: vorrel-run [OPTIONS] PROGRAM [ARGUMENTS...]\n"
    "\n"
    "Runs PROGRAM, unchanged, with Vorrel as its allocator from its first\n"
    "instruction on, and exits with its exit code. Its arguments, standard\n"
    "input, output and error pass through.\n"
    "\n"
    "Only PROGRAM itself is served by Vorrel: programs it starts run with\n"
    "their usual allocator (an option --children may come later).\n"
    "\n"
    "options:\n"
    "  --stats          print Vorrel's statistics to standard error when PROGRAM exits\n"
    "  --stats=FILE     write them to FILE instead\n"
    "  --map=FILE       write a snapshot of PROGRAM's address space to FILE when it\n"
    "                   exits (vorrel-map FILE OUT.png draws it)\n"
    "  --library=PATH   the Vorrel library to use (default: the one installed with\n"
    "                   vorrel-run)\n"
    "  --check          run PROGRAM in Vorrel's checking mode: overruns, writes\n"
    "                   after free, double and bad frees, mismatched pairs and\n"
    "                   leaks are reported with their call stacks\n"
    "  --check=pages    the same, with every block against an inaccessible page\n"
    "                   and freed blocks made inaccessible: an access past the\n"
    "                   end or after the free stops the program where it happens\n"
    "  --check-report=FILE  write the checking mode's report to FILE (emptied\n"
    "                   first) instead of standard error\n"
    "  --check-exitcode=N  the exit code when the checking mode reported findings\n"
    "                   and PROGRAM would have exited 0 (default 1; 0: PROGRAM's)\n"
    "  --help           this text\n"
    "  --version        vorrel-run's version\n"
    "\n"
    "Options with a value take it as --map=FILE or --map FILE; --stats and\n"
    "--check, whose value is optional, take it only after '='.\n"
    "\n"
    "The environment variables VORREL_STATS (1 or a file), VORREL_MAP (a file),\n"
    "VORREL_CHECK (1 or pages), VORREL_CHECK_REPORT (a file) and VORREL_CHECK_EXITCODE\n"
    "do the same for any program that has Vorrel loaded.\n";

/* Reads the options; stops at the first argument that is not one (or after
   "--"). A value is given as --opt=V, or as --opt V for the options that
   always take one; an empty value is refused. */
inline VR_RunOptions ParseRunOptions(int argc, char **argv)
{
    VR_RunOptions o = {0, 0, 0, 0, 0, 0, 0, 0, 0, std::string()};
    int i = 1;
    for (; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "--") == 0) {
            i++;
            break;
        }
        if (a[0] != '-' || a[1] == 0) break;
        const char *eq = strchr(a, '=');
        std::string name = eq ? std::string(a, eq - a) : std::string(a);
        const char *value = eq ? eq + 1 : 0;
        /* The options that always take a value may have it next. */
        int needsValue = name == "--map" || name == "--library" || name == "--check-report" ||
                         name == "--check-exitcode";
        if (needsValue && !value && i + 1 < argc) value = argv[++i];
        if ((needsValue || name == "--stats") && (eq || needsValue) && (!value || !*value)) {
            o.error = "option " + name + " needs a value (" + name + "=" +
                      (name == "--check-exitcode" ? "N" : "FILE") + ")";
            return o;
        }
        if (name == "--help" || name == "-h") {
            o.help = 1;
        } else if (name == "--version") {
            o.version = 1;
        } else if (name == "--stats") {
            o.stats = value ? value : "1";
        } else if (name == "--map") {
            o.map = value;
        } else if (name == "--library") {
            o.library = value;
        } else if (name == "--check" && (!value || strcmp(value, "blocks") == 0)) {
            o.check = "1";
        } else if (name == "--check" && strcmp(value, "pages") == 0) {
            o.check = "pages";
        } else if (name == "--check") {
            o.error = std::string("bad value of --check: ") + (value ? value : "") + " (blocks or pages)";
            return o;
        } else if (name == "--check-exitcode") {
            if (strspn(value, "0123456789") != strlen(value) || strlen(value) > 3 || atoi(value) > 255) {
                o.error = std::string("bad value of --check-exitcode: ") + value + " (a number from 0 to 255)";
                return o;
            }
            o.checkExitCode = value;
            if (!o.check) o.check = "1";
        } else if (name == "--check-report") {
            o.checkReport = value;
            if (!o.check) o.check = "1";
        } else {
            o.error = std::string("unknown option ") + a;
            return o;
        }
    }
    o.programIndex = i < argc ? i : 0;
    return o;
}

/* Exit codes of vorrel-run's own failures (the program's own pass through). */
const int kExitUsage = 2;
const int kExitOwnFailure = 125;   /* vorrel-run could not do its part */
const int kExitCannotRun = 126;    /* the program exists but cannot be run this way */
const int kExitNotFound = 127;

inline int Fail(int code, const std::string &message)
{
    fprintf(stderr, "vorrel-run: %s\n", message.c_str());
    fflush(stderr);
    return code;
}

/* What the options alone decide: -1 to go on and run the program, or the
   exit code after the usage text or the complaint was printed. */
inline int AnswerRunOptions(const VR_RunOptions &o)
{
    if (o.help) {
        fputs(kRunUsage, stdout);
        return 0;
    }
    if (!o.error.empty()) return Fail(kExitUsage, o.error + " (see vorrel-run --help)");
    if (o.version) {
        printf("vorrel-run %s\n", VORREL_VERSION);
        return 0;
    }
    if (!o.programIndex) {
        fputs(kRunUsage, stderr);
        return kExitUsage;
    }
    return -1;
}

#endif
