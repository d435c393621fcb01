/*
 * The names a copy has before it replaces its file.  Where the file system
 * allows it the copy has none at all until it is complete; elsewhere it
 * is a hidden file, recorded so that SIGHUP, SIGINT, SIGPIPE and SIGTERM
 * remove it before the program ends.  The record lives in static storage
 * (the handler may not allocate) and only changes with those signals
 * blocked, so that the handler never sees a slot half made.
 */
#pragma once

#include "w_contract.h"

#include <csignal>
#include <string>

namespace w_tempname {

// Blocks the caught signals while a name of ours comes or goes.
class signals_held {
public:
	signals_held() noexcept;
	~signals_held();
	signals_held(const signals_held &) = delete;
	signals_held &operator=(const signals_held &) = delete;

private:
	sigset_t old_;
};

// Installs the handlers that remove the hidden copies of this process
// (once per process; a forked child forgets its parent's copies).
void install_handlers();
// A file without a name in dir, or -1.
int open_unnamed(const char *dir);
// A hidden file from the template name (its last six characters are
// replaced), recorded for the signal handler in slot; or -1.
int open_named(std::string &name, int &slot);
// Forgets the hidden copy recorded in slot, and sets slot to -1.
void free_slot(int &slot) noexcept;
// Replaces the last six characters of name by random letters and digits.
void randomize(std::string &name) noexcept;
// Removes every hidden copy this process still has recorded.
void remove_named() noexcept;

} // namespace w_tempname
