// Helpers shared by the end-to-end tests are added to support/e2e/.
