// SPDX-License-Identifier: MIT
// What to tell a person whose drives kestrel cannot reach.
#pragma once

// One line, with its line end, on what to do when the loaded provider
// presents no host adapter: load the sg driver, look at the drive's
// connection, or mend or unset KESTREL_BUS. "" when the provider is not
// loaded or does not say why.
const char* no_adapter_advice(void);
