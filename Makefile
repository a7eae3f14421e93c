# Shorthands for ./dev, which does the work (and installs what it needs).
.PHONY: demo test asan tsan fuzz bench format format-check deps
demo test asan tsan fuzz bench format format-check deps:
	./dev $@
