/*
 * Actions: the queue built once from the leading action words of the
 * command line and applied, unchanged, to every file.
 */
#pragma once

#include "w_contract.h"
#include "w_tune.h"

#include <cstdint>
#include <sys/queue.h>

enum : std::uint32_t {
	W_ACTION_ADD = 0,
	W_ACTION_BACKEND = 1,
	W_ACTION_CLEAR = 2,
	W_ACTION_EDIT = 3,
	W_ACTION_LOAD = 4,
	W_ACTION_PRINT = 5,
	W_ACTION_RENAME = 6,
	W_ACTION_SET = 7,
	W_ACTION_INFO = 8,
	W_ACTION_PICTURES = 9,
	W_ACTION_EXPORT_PICTURE = 10,
	W_ACTION_IMPORT_PICTURE = 11,
	W_ACTION_REMOVE_PICTURES = 12,
};

struct w_action_token {
	const char *word;
	std::uint32_t kind;
	std::uint32_t needarg;
};

extern const struct w_action_token w_action_tokens[13];

struct w_action {
	std::uint32_t kind;
	// add, set: struct w_tag *; clear: char * or null; load: char *;
	// rename: struct w_rename_tokenQ *; otherwise null.
	void *data;
	int may_write;
	int (*apply)(struct w_action *self, struct w_tune *tune);
	TAILQ_ENTRY(w_action) entries;
};

TAILQ_HEAD(w_actionQ, w_action);

// Consumes the leading action words of *argc_p/*argv_p; null with errno
// EINVAL or ENOMEM (both arguments then untouched).
struct w_actionQ *w_actionQ_new(int *argc_p, char ***argv_p);
void w_actionQ_destroy(struct w_actionQ *q);
int w_action_token_cmp(const void *vstr, const void *vtoken);
// A new action; arg is UTF-8, or null for kinds without an argument.
struct w_action *w_action_new(std::uint32_t kind, const char *arg);
void w_action_free(struct w_action *action);

int w_action_add(struct w_action *self, struct w_tune *tune);
int w_action_backend(struct w_action *self, struct w_tune *tune);
int w_action_clear(struct w_action *self, struct w_tune *tune);
int w_action_edit(struct w_action *self, struct w_tune *tune);
// Prints the file's audio properties as a document, as print does its tags.
int w_action_info(struct w_action *self, struct w_tune *tune);
// Lists the file's pictures, one line each.
int w_action_pictures(struct w_action *self, struct w_tune *tune);
// Writes one of the file's pictures to a new file: data is the argument,
// [WHICH=]PATH.
int w_action_export_picture(struct w_action *self, struct w_tune *tune);
// Whether [WHICH=]PATH is an argument of export-picture, warning why not
// (errno EINVAL).
bool w__action_export_arg_ok(const char *arg);
// Makes an image file one of the file's pictures, replacing those of its
// type: data is the argument, [TYPE[:DESCRIPTION]=]PATH.
int w_action_import_picture(struct w_action *self, struct w_tune *tune);
// Whether the argument of import-picture is one, warning why not (errno
// EINVAL).
bool w__action_import_arg_ok(const char *arg);
// Removes the file's pictures, all of them or those WHICH names: data is
// WHICH, possibly empty.
int w_action_remove_pictures(struct w_action *self, struct w_tune *tune);
// Whether WHICH is an argument of remove-pictures, warning why not (errno
// EINVAL).
bool w__action_remove_arg_ok(const char *arg);
// Whether the action writes pictures.
bool w_action_writes_pictures(const struct w_action *action);
int w_action_load(struct w_action *self, struct w_tune *tune);
int w_action_print(struct w_action *self, struct w_tune *tune);
int w_action_rename(struct w_action *self, struct w_tune *tune);
int w_action_set(struct w_action *self, struct w_tune *tune);
