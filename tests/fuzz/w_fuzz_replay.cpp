/*
 * Runs the fuzz targets' checks on kept inputs without libFuzzer, so that
 * the seeds and the inputs that once broke a property are tested by every
 * build: w_fuzz_replay TARGET FILE...
 */
#include "w_fuzz_checks.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int
replay(const wf::target *t, int argc, char **argv)
{
	// A broken property is a failed test: status 1.
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

} // namespace

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
	// The checks run in a child with a scratch directory of its own, which
	// is removed here even when a sanitizer ends the child in the middle
	// of a write.
	const char *base = std::getenv("TMPDIR");
	std::string dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
	    "/wembrix-replay-XXXXXX";
	if (mkdtemp(dir.data()) == nullptr) {
		std::perror("w_fuzz_replay: mkdtemp");
		return 1;
	}
	std::fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		setenv("TMPDIR", dir.c_str(), 1);
		std::exit(replay(t, argc, argv));
	}
	int status = 0;
	if (pid == -1 || waitpid(pid, &status, 0) == -1)
		status = -1;
	std::error_code ec;
	std::filesystem::remove_all(dir, ec);
	if (pid == -1 || status == -1) {
		std::perror("w_fuzz_replay");
		return 1;
	}
	if (WIFSIGNALED(status)) {
		std::fprintf(stderr, "w_fuzz_replay: ended by signal %d\n", WTERMSIG(status));
		return 1;
	}
	return WEXITSTATUS(status);
}
