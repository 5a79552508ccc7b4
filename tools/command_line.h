// Long options as both tools take them: "--name value" or "--name=value".
#ifndef STATPIPE_COMMAND_LINE_H
#define STATPIPE_COMMAND_LINE_H

// Whether word is the option name, alone or with "=value".
bool is_option(const char *word, const char *name);
// The value of the option at argv[*i]: what follows its '=', else the next
// word, which it steps past; nullptr if there is none.
const char *option_value(int argc, char **argv, int *i);

#endif
