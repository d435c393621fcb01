/*
 * Runs the fuzz targets' checks on kept inputs without libFuzzer, so that
 * the seeds and the inputs that once broke a property are tested by every
 * build: w_fuzz_replay TARGET FILE...
 */
#include "w_fuzz_checks.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

int
main(int argc, char **argv)
{
	const wf::target *t = argc >= 2 ? wf::find_target(argv[1]) : nullptr;
	if (t == nullptr) {
		std::fprintf(stderr, "usage: w_fuzz_replay TARGET FILE...; targets:");
		for (const wf::target *all = wf::targets; all->name != nullptr; all++)
			std::fprintf(stderr, " %s", all->name);
		std::fprintf(stderr, "\n");
		return 2;
	}
	// A broken property is a failed test: status 1, scratch files removed.
	wf::broken = [] { std::exit(1); };
	for (int i = 2; i < argc; i++) {
		std::ifstream in(argv[i], std::ios::binary);
		if (!in) {
			std::fprintf(stderr, "w_fuzz_replay: cannot read %s\n", argv[i]);
			return 1;
		}
		std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
		// Named first, so that a broken property shows which input.
		std::fprintf(stderr, "w_fuzz_replay: %s %s\n", t->name, argv[i]);
		t->check(reinterpret_cast<const std::uint8_t *>(data.data()), data.size());
	}
	return 0;
}
