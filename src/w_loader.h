/* Replacing a tune's tags with those of a tag document. */
#pragma once

#include "w_contract.h"
#include "w_tune.h"

#include <cstddef>
#include <string>
#include <vector>

// Loads the document at fmtfile ("" or "-": standard input): 0 or -1.
// Among the documents of an input that names files, the tune takes the one
// the run's setting says (w_load_run_files).
int w_load(struct w_tune *tune, const char *fmtfile);
// Loads the tune's own document, as an edit gives it back: a lone document
// serves the tune whatever file it names.  It is read for this tune alone:
// the run's input stays read for the files after it.  0 or -1.
int w_load_own(struct w_tune *tune, const char *fmtfile);

// Tells the loader how many files the run works on, once they are known.
// A run over one file takes a lone document whatever file it names, so
// that tags are copied from one file to another; a run over several gives
// each file only the document naming it, so that no file takes another's
// tags.  Until it is called, a run counts as one over one file.
void w_load_run_files(std::size_t count);

// For a restore that names no file: the files that the backup at path
// names, in its order, each once, into *files.  The format must be one
// whose documents name files.  0, or -1 once the reason is printed: the
// backup cannot be read, holds nothing, or holds a document that names no
// file.
int w_load_named_files(const char *backup, std::vector<std::string> *files);
