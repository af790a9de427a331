// Placeholder: built in a later change.
