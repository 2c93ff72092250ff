// SPDX-License-Identifier: MIT
// Helpers shared by the end-to-end tests are added to support/e2e/.
