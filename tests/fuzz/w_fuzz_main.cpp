/* One libFuzzer program per target; W_FUZZ_TARGET names its check. */
#include "w_fuzz_checks.h"

#ifndef W_FUZZ_TARGET
#error "W_FUZZ_TARGET must name a check of w_fuzz_checks.h"
#endif

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	wf::W_FUZZ_TARGET(data, size);
	return 0;
}
