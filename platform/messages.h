// SPDX-License-Identifier: MIT
// Messages of the layers below the console's owner. Those layers say what
// happened through these; the program that owns the console installs the
// sink that shows it. Without a sink every message is dropped, so a layer
// can be used quietly.
#pragma once

// Output belongs with what the program prints; a warning (the provider's)
// goes where warnings go.
enum MessageStream { MESSAGE_OUTPUT = 0, MESSAGE_WARNING = 1 };

typedef void (*MessageSink)(int stream, const char* text, void* context);

// Installs the sink (nullptr: none, messages are dropped).
void message_set_sink(MessageSink sink, void* context);
// Formats like printf and hands the text to the sink as output.
void message_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Hands a warning to the sink as it is.
void message_warning(const char* text);

// The sink of a program that owns its console: output to standard output,
// warnings to standard error, byte for byte as printf would put them there.
void message_to_console(int stream, const char* text, void* context);
