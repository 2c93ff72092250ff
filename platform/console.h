// SPDX-License-Identifier: MIT
// The console keyboard. On a terminal, standard input is switched to
// non-canonical, no-echo mode for the run and restored on every way out; a
// pipe works as well, so another program can send keys. A job in the
// background of its terminal leaves the terminal alone and reads no keys.
// SIGINT and SIGTERM read as the ESC key; a second one ends the program at once.
#pragma once

#include <cstdint>

#define CONSOLE_KEY_ESC 27
// An arrow, function or editing key on a terminal (its whole escape sequence).
#define CONSOLE_KEY_EXTENDED 0xE0

// Sets up the terminal and the signal handlers. Safe to call more than once.
void console_init(void);
// Puts the terminal back as it was. Safe to call more than once.
void console_restore(void);
// 1 when a key (or an interrupt read as ESC) is waiting, without blocking.
int console_key_waiting(void);
// Reads one waiting key without echo; blocks when none waits. Returns the
// key's byte, CONSOLE_KEY_EXTENDED for a key that sends an escape sequence on a
// terminal, CONSOLE_KEY_ESC for ESC or an interrupt, or -1 at the end of input.
int console_read_key(void);
// Puts an ESC back, to be read again by the next console_read_key: for a
// loop that noticed ESC on behalf of the one that acts on it.
void console_put_back_esc(void);
// 1 once an interrupt (SIGINT or SIGTERM) has arrived during the run.
int console_interrupted(void);
// 1 when a key is waiting and it is ESC (an interrupt reads as ESC); reads it.
// Also 1 once memory has run out (platform/memory.h): the mode is to end.
bool esc_pressed(void);
// A function the second interrupt runs just before it ends the program, so
// that the files being written are left valid. It runs in a signal handler:
// it may only do what is safe there. nullptr: none.
void console_set_abrupt_exit_hook(void (*hook)(void));
// For a thread of the run's own other than the main one, at its start: SIGINT
// and SIGTERM are then never delivered to it, so that they reach the main
// thread, whose blocking reads they end and whose files the second one
// repairs while the other threads wait for it.
void console_keep_interrupts_off_this_thread(void);
// Sleeps ms on the platform clock in steps of at most 100 ms and stops as
// soon as an interrupt has arrived, so that no wait outlasts Ctrl-C by more
// than a step. Returns 1 when an interrupt cut it short (or came before), else 0.
int console_sleep_ms(uint32_t ms);
