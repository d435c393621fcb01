#include "w_action.h"

#include <cerrno>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <langinfo.h>
#include <new>
#include <string>
#include <vector>

#include "w_editor.h"
#include "w_json.h"
#include "w_loader.h"
#include "w_renamer.h"
#include "w_settings.h"
#include "w_tag.h"
#include "w_toolkit.h"

// Sorted by word: searched with bsearch.
const struct w_action_token w_action_tokens[13] = {
	{"add", W_ACTION_ADD, 1},
	{"backend", W_ACTION_BACKEND, 0},
	{"clear", W_ACTION_CLEAR, 1},
	{"edit", W_ACTION_EDIT, 0},
	{"export-picture", W_ACTION_EXPORT_PICTURE, 1},
	{"import-picture", W_ACTION_IMPORT_PICTURE, 1},
	{"info", W_ACTION_INFO, 0},
	{"load", W_ACTION_LOAD, 1},
	{"pictures", W_ACTION_PICTURES, 0},
	{"print", W_ACTION_PRINT, 0},
	{"remove-pictures", W_ACTION_REMOVE_PICTURES, 1},
	{"rename", W_ACTION_RENAME, 1},
	{"set", W_ACTION_SET, 1},
};

int
w_action_token_cmp(const void *vstr, const void *vtoken)
{
	assert(vstr != NULL);
	assert(vtoken != NULL);
	const char *str = static_cast<const char *>(vstr);
	const auto *token = static_cast<const struct w_action_token *>(vtoken);

	std::size_t n = std::strlen(token->word);
	int cmp = std::strncmp(str, token->word, n);
	if (cmp != 0)
		return cmp;
	if (str[n] == '\0' || str[n] == ':')
		return 0;
	return static_cast<signed char>(str[n]);
}

namespace {

// A tag from TAG=VALUE, split at the first '='; null with errno set.
struct w_tag *
tag_from_arg(const char *arg, const char *missing)
{
	const char *eq = std::strchr(arg, '=');
	if (eq == nullptr) {
		errno = EINVAL;
		warn("%s", missing);
		return nullptr;
	}
	char *key = strndup(arg, static_cast<std::size_t>(eq - arg));
	if (key == nullptr)
		return nullptr;
	struct w_tag *tag = w_tag_new(key, eq + 1);
	std::free(key);
	return tag;
}

} // namespace

struct w_action *
w_action_new(std::uint32_t kind, const char *arg)
{
	auto *action = static_cast<struct w_action *>(std::calloc(1, sizeof(struct w_action)));
	if (action == nullptr)
		return nullptr;
	action->kind = kind;
	action->may_write = 1;

	switch (kind) {
	case W_ACTION_ADD:
		assert(arg != NULL);
		action->data = tag_from_arg(arg, "add: missing '='");
		action->apply = w_action_add;
		break;
	case W_ACTION_SET:
		assert(arg != NULL);
		action->data = tag_from_arg(arg, "set: missing '='");
		action->apply = w_action_set;
		break;
	case W_ACTION_BACKEND:
		action->may_write = 0;
		action->apply = w_action_backend;
		return action;
	case W_ACTION_PRINT:
		action->may_write = 0;
		action->apply = w_action_print;
		return action;
	case W_ACTION_INFO:
		action->may_write = 0;
		action->apply = w_action_info;
		return action;
	case W_ACTION_PICTURES:
		action->may_write = 0;
		action->apply = w_action_pictures;
		return action;
	case W_ACTION_EXPORT_PICTURE:
		assert(arg != NULL);
		action->may_write = 0;
		action->apply = w_action_export_picture;
		if (!w__action_export_arg_ok(arg))
			break;
		action->data = strdup(arg);
		break;
	case W_ACTION_IMPORT_PICTURE:
		assert(arg != NULL);
		action->apply = w_action_import_picture;
		if (!w__action_import_arg_ok(arg))
			break;
		action->data = strdup(arg);
		break;
	case W_ACTION_REMOVE_PICTURES:
		assert(arg != NULL);
		action->apply = w_action_remove_pictures;
		if (!w__action_remove_arg_ok(arg))
			break;
		action->data = strdup(arg);
		break;
	case W_ACTION_EDIT:
		action->apply = w_action_edit;
		return action;
	case W_ACTION_CLEAR:
		assert(arg != NULL);
		action->apply = w_action_clear;
		if (*arg == '\0')
			return action; // clear every tag
		action->data = strdup(arg);
		break;
	case W_ACTION_LOAD:
		assert(arg != NULL);
		action->apply = w_action_load;
		action->data = strdup(arg);
		break;
	case W_ACTION_RENAME:
		assert(arg != NULL);
		action->apply = w_action_rename;
		if (*arg == '\0') {
			errno = EINVAL;
			warn("empty rename pattern");
			break;
		}
		action->data = w_rename_parse(arg);
		if (action->data == nullptr) {
			errno = EINVAL;
			warn("rename: bad rename pattern");
		}
		break;
	default:
		std::free(action);
		errno = EINVAL;
		return nullptr;
	}
	if (action->data == nullptr) {
		int saved = errno;
		std::free(action);
		errno = saved;
		return nullptr;
	}
	return action;
}

void
w_action_free(struct w_action *action)
{
	if (action == nullptr)
		return;
	switch (action->kind) {
	case W_ACTION_ADD:
	case W_ACTION_SET:
		w_tag_free(static_cast<struct w_tag *>(action->data));
		break;
	case W_ACTION_RENAME:
		w_rename_tokenQ_destroy(static_cast<struct w_rename_tokenQ *>(action->data));
		break;
	default:
		std::free(action->data);
		break;
	}
	std::free(action);
}

void
w_actionQ_destroy(struct w_actionQ *q)
{
	if (q == nullptr)
		return;
	struct w_action *action;
	while ((action = TAILQ_FIRST(q)) != nullptr) {
		TAILQ_REMOVE(q, action, entries);
		w_action_free(action);
	}
	std::free(q);
}

struct w_actionQ *
w_actionQ_new(int *argc_p, char ***argv_p)
{
	assert(argc_p != NULL);
	assert(argv_p != NULL);

	auto *q = static_cast<struct w_actionQ *>(std::malloc(sizeof(struct w_actionQ)));
	if (q == nullptr)
		return nullptr;
	TAILQ_INIT(q);

	int argc = *argc_p;
	char **argv = *argv_p;
	auto fail = [q](int error) -> struct w_actionQ * {
		w_actionQ_destroy(q);
		errno = error;
		return nullptr;
	};

	for (; argc > 0; argc--, argv++) {
		const auto *token = static_cast<const struct w_action_token *>(
		    std::bsearch(argv[0], w_action_tokens, std::size(w_action_tokens), sizeof(w_action_tokens[0]),
			w_action_token_cmp));
		if (token == nullptr)
			break; // this and every later argument is a file

		char *arg = nullptr;
		if (token->needarg) {
			const char *colon = std::strchr(argv[0], ':');
			if (colon == nullptr) {
				warnx("option %s requires an argument", token->word);
				return fail(EINVAL);
			}
			arg = w_iconv_loc2utf8(colon + 1);
			if (arg == nullptr) {
				if (errno == ENOMEM)
					return fail(ENOMEM);
				// The conversion has set the locale: its character
				// set is the one the argument did not fit.
				warnx("%s: cannot be converted from the locale's character set %s to UTF-8",
				    w_escape(argv[0], std::strlen(argv[0])).c_str(), nl_langinfo(CODESET));
				return fail(EINVAL);
			}
		}
		struct w_action *action = w_action_new(token->kind, arg);
		std::free(arg);
		if (action == nullptr)
			return fail(errno == ENOMEM ? ENOMEM : EINVAL);
		TAILQ_INSERT_TAIL(q, action, entries);
	}

	if (TAILQ_EMPTY(q)) {
		struct w_action *print = w_action_new(W_ACTION_PRINT, nullptr);
		if (print == nullptr)
			return fail(ENOMEM);
		TAILQ_INSERT_TAIL(q, print, entries);
	}
	*argc_p = argc;
	*argv_p = argv;
	return q;
}

/*
 * add, clear and set change the tune's cached tags in place: the result is
 * what changing a copy and storing a copy of that would give, without
 * copying every tag twice per file.  Whatever can fail is done first.
 */
int
w_action_add(struct w_action *self, struct w_tune *tune)
{
	assert(self != NULL);
	assert(self->kind == W_ACTION_ADD);
	assert(tune != NULL);

	struct w_tag *neo = w_tag_dup(static_cast<const struct w_tag *>(self->data));
	if (neo == nullptr)
		return -1;
	struct w_taglist *tags = w_tune_change_tags(tune);
	if (tags == nullptr) {
		w_tag_free(neo);
		return -1;
	}
	w_taglist_link_tail(tags, neo);
	return 0;
}

int
w_action_backend(struct w_action *self, struct w_tune *tune)
{
	assert(self != NULL);
	assert(self->kind == W_ACTION_BACKEND);
	assert(tune != NULL);

	std::printf("%s %s\n", w_tune_backend(tune)->libid, w_tune_path(tune));
	return 0;
}

int
w_action_clear(struct w_action *self, struct w_tune *tune)
{
	assert(self != NULL);
	assert(self->kind == W_ACTION_CLEAR);
	assert(tune != NULL);

	const char *key = static_cast<const char *>(self->data);
	if (key == nullptr) {
		// Every tag goes, so the old ones need not (and may fail to) be read.
		w_taglist_ptr none(w_taglist_new());
		return none && w_tune_set_tags(tune, none.get()) == 0 ? 0 : -1;
	}
	struct w_taglist *tags = w_tune_change_tags(tune);
	if (tags == nullptr)
		return -1;
	for (struct w_tag *t = w_taglist_first(tags), *next; t != nullptr; t = next) {
		next = w_taglist_next(t);
		if (w_tag_keycmp(t->key, key) == 0) {
			w_taglist_unlink(tags, t);
			w_tag_free(t);
		}
	}
	return 0;
}

namespace {

// Prints a document of tags for the tune's file: 0, or -1.
int
print_document(const struct w_taglist *tags, struct w_tune *tune)
{
	char *doc = Fflag->tags2fmt(tags, w_tune_path(tune));
	if (doc == nullptr)
		return -1;
	int n = std::printf("%s\n", doc);
	int ret = (n > 0 && static_cast<std::size_t>(n) == std::strlen(doc) + 1) ? 0 : -1;
	std::free(doc);
	return ret;
}

} // namespace

int
w_action_info(struct w_action *self, struct w_tune *tune)
{
	assert(self != NULL);
	assert(self->kind == W_ACTION_INFO);
	assert(tune != NULL);

	struct w_backend *b = w_tune_backend(tune);
	if (b->props == nullptr) {
		errno = ENOTSUP;
		return -1;
	}
	w_taglist_ptr props(b->props(tune->opaque));
	if (props == nullptr)
		return -1;
	return print_document(props.get(), tune);
}

int
w_action_print(struct w_action *self, struct w_tune *tune)
{
	assert(self != NULL);
	assert(self->kind == W_ACTION_PRINT);
	assert(tune != NULL);

	const struct w_taglist *tags = w_tune_cached_tags(tune);
	if (tags == nullptr)
		return -1;
	if (!picturesflag)
		return print_document(tags, tune);
	// A complete backup: the pictures ride in the JSON document.
	try {
		std::vector<w_picture> pics;
		if (w_tune_stored_pictures(tune, &pics) == -1) {
			if (errno == ENOTSUP)
				warnx("%s: this kind of file holds no pictures", w_tune_path(tune));
			return -1;
		}
		w_cstr_ptr doc(w_tags2json_pictures(tags, w_tune_path(tune), pics));
		if (doc == nullptr)
			return -1;
		const std::size_t len = std::strlen(doc.get());
		return std::printf("%s\n", doc.get()) == static_cast<int>(len + 1) ? 0 : -1;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
}

int
w_action_set(struct w_action *self, struct w_tune *tune)
{
	assert(self != NULL);
	assert(self->kind == W_ACTION_SET);
	assert(tune != NULL);

	struct w_tag *neo = w_tag_dup(static_cast<const struct w_tag *>(self->data));
	if (neo == nullptr)
		return -1;
	struct w_taglist *tags = w_tune_change_tags(tune);
	if (tags == nullptr) {
		w_tag_free(neo);
		return -1;
	}
	bool placed = false;
	for (struct w_tag *t = w_taglist_first(tags), *next; t != nullptr; t = next) {
		next = w_taglist_next(t);
		if (w_tag_keycmp(t->key, neo->key) != 0)
			continue;
		if (!placed) {
			w_taglist_link_before(tags, t, neo);
			placed = true;
		}
		w_taglist_unlink(tags, t);
		w_tag_free(t);
	}
	if (!placed)
		w_taglist_link_tail(tags, neo);
	return 0;
}

int
w_action_load(struct w_action *self, struct w_tune *tune)
{
	assert(self != NULL);
	assert(self->kind == W_ACTION_LOAD);
	assert(tune != NULL);
	return w_load(tune, static_cast<const char *>(self->data)) != 0 ? -1 : 0;
}

int
w_action_edit(struct w_action *self, struct w_tune *tune)
{
	assert(self != NULL);
	assert(self->kind == W_ACTION_EDIT);
	assert(tune != NULL);
	return w_edit(tune) != 0 ? -1 : 0;
}

int
w_action_rename(struct w_action *self, struct w_tune *tune)
{
	assert(self != NULL);
	assert(self->kind == W_ACTION_RENAME);
	assert(tune != NULL);
	return w_rename(tune, static_cast<const struct w_rename_tokenQ *>(self->data)) != 0 ? -1 : 0;
}
