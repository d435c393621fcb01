#include "w_format.h"

#include "w_yaml.h"

struct w_formatQ *
w_all_formats(void)
{
	static struct w_formatQ registry = TAILQ_HEAD_INITIALIZER(registry);
	static bool built = false;

	if (!built) {
		TAILQ_INSERT_TAIL(&registry, w_yaml_format(), entries);
		built = true;
	}
	return &registry;
}
