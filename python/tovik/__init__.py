"""tovik: compile and plan SQL transformation projects."""
