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
#include <iterator>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "w_action.h"
#include "w_backend.h"
#include "w_format.h"
#include "w_journal.h"
#include "w_loader.h"
#include "w_preview.h"
#include "w_safefile.h"
#include "w_settings.h"
#include "w_toolkit.h"
#include "w_tune.h"
#include "w_undo.h"
#include "w_walk.h"

namespace {

// The version comes from the build, which takes it from the project.
const char version[] = WEMBRIX_VERSION;

// -r: a directory argument stands for the files of its tree.
int rflag;

// The usage; asked for by name (--help), it also lists the options the
// short help of -h leaves out, so that the text of -h stays as it is.
void
print_usage(FILE *fp, bool all = false)
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
	    "  -N     answer no  to all questions\n", fp);
	if (all)
		std::fputs("  -n     preview: run every action, write nothing, show what would change\n"
		    "  -r     walk the directories named for their music files, depth first\n"
		    "  --all-tags    every field of MP3, M4A and WAV files, under FLAC's names\n"
		    "  --dry-run     the same as -n\n"
		    "  --journal FILE  record what the run changes in FILE, a new file, to undo it\n"
		    "  --undo FILE   undo the run recorded in the journal FILE\n"
		    "  --pictures    JSON documents carry the files' pictures (complete backups)\n"
		    "  --help        show this help on standard output\n"
		    "  --version     print the version\n", fp);
	std::fputs("\n"
	    "Actions:\n"
	    "  print            print tags (default action)\n"
	    "  backend          print the backend used (see Backend)\n"
	    "  clear:TAG        clear all tag TAG. If TAG is empty, all tags are cleared\n"
	    "  add:TAG=VALUE    add a TAG=VALUE pair\n"
	    "  set:TAG=VALUE    set TAG to VALUE\n"
	    "  edit             prompt for editing\n"
	    "  load:PATH        load PATH yaml tag file\n"
	    "  rename:PATTERN   rename to PATTERN\n", fp);
	if (all)
		std::fputs("  info             print the audio properties (codec, duration, ...)\n"
		    "  pictures         list the pictures (cover art)\n"
		    "  export-picture:[WHICH=]PATH\n"
		    "                   write the front cover, or picture WHICH, to the new file PATH\n"
		    "  import-picture:[TYPE[:DESCRIPTION]=]PATH\n"
		    "                   make the image PATH the front cover, or a picture of TYPE\n"
		    "  remove-pictures:[WHICH]\n"
		    "                   remove every picture, or picture WHICH\n", fp);
	std::fputs("\n"
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

// What every file of the run is given, and how the run went so far.
struct run {
	struct w_actionQ *q;
	bool may_write; // some action may change a file
	bool success = true;
};

/*
 * Runs the actions on the file at path.  A file met in a directory walk
 * (-r) that no backend opens is passed over without a word: covers,
 * playlists and logs live beside the music.
 */
void
run_file(struct run &r, const char *path, bool walked)
{
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
			if (walked)
				return;
			warnx("%s: unsupported file format", path);
			break;
		default: // what the system says, such as for a directory
			warn("%s", path);
		}
		r.success = false;
		return;
	}
	// A preview compares the tags the file has with those it would get.
	w_taglist_ptr old(nflag ? w_tune_tags(tune) : nullptr);
	if (w_journal_active() && w_journal_begin(tune) == -1) {
		w_tune_destroy(tune);
		r.success = false;
		return;
	}
	bool ok = true;
	struct w_action *action;
	TAILQ_FOREACH(action, r.q, entries) {
		if (action->apply(action, tune) != 0) {
			ok = false;
			break;
		}
	}
	// A preview writes as a rehearsal (w_safefile_rehearse): it meets
	// every refusal of a real write, and shows the change only of a
	// file that would be written.
	std::string pictures_were;
	if (ok && nflag && r.may_write && w_preview_picture_listing(tune, &pictures_were) == -1)
		ok = false;
	if (ok && r.may_write &&
	    (w_journal_touch(tune, false) == -1 || w_tune_commit(tune) == -1))
		ok = false;
	if (ok && nflag && r.may_write) {
		const struct w_taglist *neo = w_tune_cached_tags(tune);
		if (old == nullptr || neo == nullptr ||
		    w_preview_tags(stdout, w_tune_path(tune), old.get(), neo) == -1 ||
		    w_preview_pictures(stdout, tune, pictures_were) == -1)
			ok = false;
	}
	// Where the file is and what it is now, even after a failure: a
	// rename may have moved it.
	if (w_journal_end(tune) == -1)
		ok = false;
	w_tune_destroy(tune);
	r.success = r.success && ok;
}

void
visit_walked(const char *path, void *arg)
{
	run_file(*static_cast<struct run *>(arg), path, true);
}

// Whether the leading action words of argv write pictures.
bool
picture_writes(int argc, char **argv)
{
	for (int i = 0; i < argc; i++) {
		const auto *token = static_cast<const struct w_action_token *>(std::bsearch(argv[i], w_action_tokens,
		    std::size(w_action_tokens), sizeof(w_action_tokens[0]), w_action_token_cmp));
		if (token == nullptr)
			return false;
		if (token->kind == W_ACTION_IMPORT_PICTURE || token->kind == W_ACTION_REMOVE_PICTURES)
			return true;
	}
	return false;
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

	const char *journal = nullptr, *undo = nullptr;
	int ch;
	opterr = 0; // our own diagnostics, in the program's message form
	// '+': stop at the first argument that is not an option.
	// The two long options every command is expected to know (the usage
	// goes to standard output when asked for by name), and --all-tags,
	// which the usage of -h leaves out so that its text stays as it is.
	enum { OPT_HELP = 256, OPT_VERSION, OPT_ALL_TAGS, OPT_DRY_RUN, OPT_JOURNAL, OPT_UNDO, OPT_PICTURES };
	static const struct option longopts[] = {
	    {"help", no_argument, nullptr, OPT_HELP},
	    {"version", no_argument, nullptr, OPT_VERSION},
	    {"all-tags", no_argument, nullptr, OPT_ALL_TAGS},
	    {"dry-run", no_argument, nullptr, OPT_DRY_RUN},
	    {"journal", required_argument, nullptr, OPT_JOURNAL},
	    {"undo", required_argument, nullptr, OPT_UNDO},
	    {"pictures", no_argument, nullptr, OPT_PICTURES},
	    {nullptr, 0, nullptr, 0},
	};
	while ((ch = getopt_long(argc, argv, "+hnpF:NYr", longopts, nullptr)) != -1) {
		switch (ch) {
		case OPT_HELP:
			print_usage(stdout, true);
			std::exit(flush_stdout());
		case OPT_VERSION:
			std::printf("wembrix %s\n", version);
			std::exit(flush_stdout());
		case OPT_ALL_TAGS:
			alltagsflag = 1;
			break;
		case OPT_PICTURES:
			picturesflag = 1;
			break;
		case 'h':
			usage(0);
		case 'p':
			pflag = 1;
			break;
		case 'r':
			rflag = 1;
			break;
		case 'n':
		case OPT_DRY_RUN:
			nflag = 1;
			break;
		case OPT_JOURNAL:
			journal = optarg;
			break;
		case OPT_UNDO:
			undo = optarg;
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
			if (optopt == OPT_HELP || optopt == OPT_VERSION || optopt == OPT_ALL_TAGS ||
			    optopt == OPT_DRY_RUN || optopt == OPT_PICTURES) {
				const char *opt = argv[optind - 1];
				warnx("option '%.*s' doesn't allow an argument",
				    static_cast<int>(std::strcspn(opt, "=")), opt);
				try_help();
			}
			if (optopt == 0) {
				warnx("unrecognized option '%s'", argv[optind - 1]);
				try_help();
			}
			if (optopt == OPT_JOURNAL || optopt == OPT_UNDO) {
				warnx("option '%s' requires an argument", argv[optind - 1]);
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

	// An undo is a run of its own: the journal says what to do.
	if (undo != nullptr) {
		if (argc != 0 || journal != nullptr || nflag)
			errx(EINVAL, "--undo takes no other action, journal or file.\nTry `%s -h' for help.",
			    w_getprogname());
		const int undone = w_undo(undo);
		(void)w_safefile_flush();
		return undone == 0 && w_safefile_failures() == 0 ? 0 : 1;
	}
	if (journal != nullptr && nflag)
		errx(EINVAL, "a preview (-n) writes nothing to undo: no --journal with it.\nTry `%s -h' for help.",
		    w_getprogname());
	if (picturesflag && std::strcmp(Fflag->fileext, "json") != 0)
		errx(EINVAL, "--pictures: only a JSON document (-F json) carries pictures.\nTry `%s -h' for help.",
		    w_getprogname());
	if (journal != nullptr && picture_writes(argc, argv))
		errx(EINVAL, "a journal records tags, not pictures: no --journal with import-picture or remove-pictures.\nTry `%s -h' for help.",
		    w_getprogname());

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

	// The copies of rewritten files are flushed to the disk in groups;
	// not with a journal, which records each file as it is once written.
	if (journal != nullptr && w_journal_create(journal) == -1) {
		w_actionQ_destroy(q);
		return 1;
	}
	if (nflag)
		w_safefile_rehearse(true);
	else if (may_write && journal == nullptr)
		w_safefile_defer();
	struct run r{q, may_write != 0};
	for (const std::string &name : files) {
		const char *path = name.c_str();
		struct stat st;
		if (rflag && stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
			if (w_walk(path, visit_walked, &r) == -1)
				r.success = false;
			continue;
		}
		run_file(r, path, false);
	}
	bool success = r.success;
	// Copies that failed after their save was counted done were reported
	// when their group ended.
	(void)w_safefile_flush();
	success = success && w_safefile_failures() == 0;
	if (w_journal_close() == -1)
		success = false;
	w_actionQ_destroy(q);

	if (flush_stdout() != 0)
		return 1;
	return success ? 0 : 1;
}
