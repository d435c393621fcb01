/* A backend record that keeps its "file" in memory, for testing the tune
 * and the executors without a music library. */
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "w_tune.h"

namespace wt {

struct fake_file {
	const char *libid;
	std::vector<std::pair<std::string, std::string>> stored; // the "file's" tags
	int reads = 0;
	int writes = 0;
	int clears = 0;
	bool fail_read = false;
	bool fail_write = false;
};

struct w_backend *fake_backend();

// A tune over file (which must outlive it), as if a probe had chosen the fake.
struct w_tune *fake_tune(fake_file &file, const char *path = "fake.file");

} // namespace wt
