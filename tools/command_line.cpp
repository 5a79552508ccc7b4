#include "command_line.h"

#include <string.h>

bool is_option(const char *word, const char *name)
{
    size_t length = strlen(name);
    return strncmp(word, name, length) == 0 && (word[length] == '\0' || word[length] == '=');
}

const char *option_value(int argc, char **argv, int *i)
{
    const char *equals = strchr(argv[*i], '=');
    if (equals != nullptr)
        return equals + 1;
    if (*i + 1 >= argc)
        return nullptr;
    return argv[++*i];
}
