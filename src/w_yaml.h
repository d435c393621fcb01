/*
 * The YAML tag document: a sequence of one-pair mappings, one per tag, in
 * list order, optionally headed by a comment line naming the music file.
 */
#pragma once

#include "w_contract.h"
#include "w_format.h"
#include "w_sbuf.h"
#include "w_taglist.h"

#include <cstddef>
#include <cstdio>
#include <yaml.h>

struct w_format *w_yaml_format(void);

// The document for tlist, malloc'ed; null on failure.
char *w_tags2yaml(const struct w_taglist *tlist, const char *path);
// The document's YAML stream for tlist, appended to sb event by event
// through libyaml's emitter: 0, or -1 (errno ENOMEM).  w_tags2yaml leaves
// plain documents to a shortcut that gives the same bytes (w_yaml_plain.h).
int w_yaml_emit(const struct w_taglist *tlist, w_sbuf &sb);
// The tags of the document read from fp, or null with *errmsg set.
struct w_taglist *w_yaml2tags(FILE *fp, char **errmsg);
// libyaml write handler appending to a w_sbuf.
int w_yaml_whdl(void *sb, unsigned char *buffer, std::size_t size);

/*
 * The reader runs libyaml's events through a small state machine that
 * accepts exactly the document shape above (block or flow style, with or
 * without the '---' marker) and makes a tag of each one-pair mapping.
 */
struct w_yaml_fsm;
typedef void (*w_yaml_state)(struct w_yaml_fsm *FSM, const yaml_event_t *e);

struct w_yaml_fsm {
	w_yaml_state state;        // the current state
	char *key;                 // the last key, waiting for its value
	struct w_taglist *tlist;   // the list being built
	int running;               // non-zero while more events are wanted
	char *errmsg;              // what a state found wrong
};

// The names of libyaml's event types, indexed by type.
extern const char *const w_yaml_event_names[11];

void w_yaml_parse_stream_start(struct w_yaml_fsm *FSM, const yaml_event_t *e);
void w_yaml_parse_document_start(struct w_yaml_fsm *FSM, const yaml_event_t *e);
void w_yaml_parse_sequence_start(struct w_yaml_fsm *FSM, const yaml_event_t *e);
void w_yaml_parse_mapping_start(struct w_yaml_fsm *FSM, const yaml_event_t *e);
void w_yaml_parse_scalar_key(struct w_yaml_fsm *FSM, const yaml_event_t *e);
void w_yaml_parse_scalar_value(struct w_yaml_fsm *FSM, const yaml_event_t *e);
void w_yaml_parse_mapping_end(struct w_yaml_fsm *FSM, const yaml_event_t *e);
void w_yaml_parse_document_end(struct w_yaml_fsm *FSM, const yaml_event_t *e);
void w_yaml_parse_stream_end(struct w_yaml_fsm *FSM, const yaml_event_t *e);
void w_yaml_parse_done(struct w_yaml_fsm *FSM, const yaml_event_t *e);
