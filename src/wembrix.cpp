/*
 * wembrix: show and edit the tags of music files.
 *
 *	wembrix [OPTION]... [ACTION:ARG]... [FILE]...
 *
 * The leading action words build a queue that is applied to every file in
 * turn; a file's changes are saved once all its actions succeeded.
 */
#include "w_contract.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <getopt.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "w_action.h"
#include "w_backend.h"
#include "w_format.h"
#include "w_loader.h"
#include "w_safefile.h"
#include "w_settings.h"
#include "w_toolkit.h"
#include "w_tune.h"

namespace {

// The version comes from the build, which takes it from the project.
const char version[] = WEMBRIX_VERSION;

void
print_usage(FILE *fp)
{
	const char *prog = w_getprogname();
	std::fprintf(fp, "wembrix v%s\n\n", version);
	std::fprintf(fp, "usage: %s [OPTION]... [ACTION:ARG]... [FILE]...\n", prog);
	std::fprintf(fp, "Modify or display music file's tag.\n\n");
	std::fputs("Options:\n"
	    "  -h     show this help\n"
	    "  -p     create destination directories if needed (used by rename)\n"
	    "  -F fmt use the fmt format for print, edit and load actions (see Formats)\n"
	    "  -Y     answer yes to all questions\n"
	    "  -N     answer no  to all questions\n"
	    "\n"
	    "Actions:\n"
	    "  print            print tags (default action)\n"
	    "  backend          print the backend used (see Backend)\n"
	    "  clear:TAG        clear all tag TAG. If TAG is empty, all tags are cleared\n"
	    "  add:TAG=VALUE    add a TAG=VALUE pair\n"
	    "  set:TAG=VALUE    set TAG to VALUE\n"
	    "  edit             prompt for editing\n"
	    "  load:PATH        load PATH yaml tag file\n"
	    "  rename:PATTERN   rename to PATTERN\n"
	    "\n"
	    "Formats:\n", fp);
	struct w_format *f;
	TAILQ_FOREACH(f, w_all_formats(), entries)
		std::fprintf(fp, "  %10s: %s\n", f->fileext, f->description);
	std::fputs("\nBackends:\n", fp);
	struct w_backend *b;
	TAILQ_FOREACH(b, w_all_backends(), entries)
		std::fprintf(fp, "  %10s: %s\n", b->libid, b->description);
	std::fputs("\n", fp);
}

[[noreturn]] void
usage(int status)
{
	print_usage(stderr);
	std::exit(status);
}

// What was printed must have reached standard output.
int
flush_stdout(void)
{
	if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
		warn("stdout");
		return 1;
	}
	return 0;
}

/*
 * The backup to restore when no file is named: the path of the one load
 * action, when it reads a file (not standard input) in a format whose
 * documents name their files; null otherwise.
 */
const char *
restore_source(const struct w_actionQ *q)
{
	if (Fflag->fmt2docs == nullptr)
		return nullptr;
	const char *path = nullptr;
	int loads = 0;
	const struct w_action *action;
	TAILQ_FOREACH(action, q, entries) {
		if (action->kind == W_ACTION_LOAD) {
			loads++;
			path = static_cast<const char *>(action->data);
		}
	}
	if (loads != 1 || *path == '\0' || std::strcmp(path, "-") == 0)
		return nullptr;
	return path;
}

[[noreturn]] void
try_help(void)
{
	std::fprintf(stderr, "Try `%s -h' for help.\n", w_getprogname());
	std::exit(1);
}

} // namespace

int
main(int argc, char *argv[])
{
	errno = 0;
	Fflag = TAILQ_FIRST(w_all_formats());

	int ch;
	opterr = 0; // our own diagnostics, in the program's message form
	// '+': stop at the first argument that is not an option.
	// The two long options every command is expected to know (the usage
	// goes to standard output when asked for by name), and --all-tags,
	// which the usage of -h leaves out so that its text stays as it is.
	enum { OPT_HELP = 256, OPT_VERSION, OPT_ALL_TAGS };
	static const struct option longopts[] = {
	    {"help", no_argument, nullptr, OPT_HELP},
	    {"version", no_argument, nullptr, OPT_VERSION},
	    {"all-tags", no_argument, nullptr, OPT_ALL_TAGS},
	    {nullptr, 0, nullptr, 0},
	};
	while ((ch = getopt_long(argc, argv, "+hpF:NY", longopts, nullptr)) != -1) {
		switch (ch) {
		case OPT_HELP:
			print_usage(stdout);
			std::exit(flush_stdout());
		case OPT_VERSION:
			std::printf("wembrix %s\n", version);
			std::exit(flush_stdout());
		case OPT_ALL_TAGS:
			alltagsflag = 1;
			break;
		case 'h':
			usage(0);
		case 'p':
			pflag = 1;
			break;
		case 'F': {
			const struct w_format *found = nullptr;
			struct w_format *f;
			TAILQ_FOREACH(f, w_all_formats(), entries) {
				if (std::strcmp(f->fileext, optarg) == 0) {
					found = f;
					break;
				}
			}
			if (found == nullptr)
				errx(EINVAL, "%s: invalid -F option, try `%s -h' to see supported formats.",
				    optarg, w_getprogname());
			Fflag = found;
			break;
		}
		case 'Y':
			if (Nflag) {
				errno = EINVAL;
				err(1, "cannot set both -Y and -N");
			}
			Yflag = 1;
			break;
		case 'N':
			if (Yflag) {
				errno = EINVAL;
				err(1, "cannot set both -Y and -N");
			}
			Nflag = 1;
			break;
		default:
			if (optopt == OPT_HELP || optopt == OPT_VERSION || optopt == OPT_ALL_TAGS) {
				const char *opt = argv[optind - 1];
				warnx("option '%.*s' doesn't allow an argument",
				    static_cast<int>(std::strcspn(opt, "=")), opt);
				try_help();
			}
			if (optopt == 0) {
				warnx("unrecognized option '%s'", argv[optind - 1]);
				try_help();
			}
			if (optopt == 'F')
				warnx("option requires an argument -- '%c'", optopt);
			else
				warnx("invalid option -- '%c'", optopt);
			usage(1);
		}
	}
	argc -= optind;
	argv += optind;

	struct w_actionQ *q = w_actionQ_new(&argc, &argv);
	if (q == nullptr) {
		if (errno == ENOMEM)
			err(1, "malloc");
		try_help();
	}
	// A restore from a backup that names its files may leave them out.
	const char *backup = argc == 0 ? restore_source(q) : nullptr;
	if (argc == 0 && backup == nullptr)
		errx(EINVAL, "missing file argument.\nTry `%s -h' for help.", w_getprogname());
	std::vector<std::string> files;
	if (backup == nullptr) {
		files.assign(argv, argv + argc);
	} else if (w_load_named_files(backup, &files) == -1) {
		w_actionQ_destroy(q);
		return 1;
	}
	w_load_run_files(files.size());

	// A rename writes to the file only the changes of the actions before
	// it; by itself it needs the directory writable, not the file.
	int may_write = 0, writes_file = 0;
	struct w_action *action;
	TAILQ_FOREACH(action, q, entries) {
		may_write |= action->may_write;
		if (action->kind != W_ACTION_RENAME)
			writes_file |= action->may_write;
	}
	// Each file is opened once, for writing too when the actions may
	// write it: a file that may not be written is refused at once.
	w_tune_open_writable(writes_file != 0);

	// The copies of rewritten files are flushed to the disk in groups.
	if (may_write)
		w_safefile_defer();
	bool success = true;
	for (const std::string &name : files) {
		const char *path = name.c_str();
		// A file met again (by any name) is read with its new content.
		w_safefile_settle(path);
		w_safefile_label(path);
		struct w_tune *tune = w_tune_new(path);
		if (tune == nullptr) {
			switch (errno) {
			case ENOMEM:
				err(1, "malloc");
			case EINVAL: // the backend that knows the file has said why
				break;
			case ENOTSUP:
				warnx("%s: unsupported file format", path);
				break;
			default: // what the system says, such as for a directory
				warn("%s", path);
			}
			success = false;
			continue;
		}
		bool ok = true;
		TAILQ_FOREACH(action, q, entries) {
			if (action->apply(action, tune) != 0) {
				ok = false;
				break;
			}
		}
		if (ok && may_write && w_tune_commit(tune) == -1)
			ok = false;
		w_tune_destroy(tune);
		success = success && ok;
	}
	// Copies that failed after their save was counted done were reported
	// when their group ended.
	(void)w_safefile_flush();
	success = success && w_safefile_failures() == 0;
	w_actionQ_destroy(q);

	if (flush_stdout() != 0)
		return 1;
	return success ? 0 : 1;
}
