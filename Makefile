# Shortcuts for the scripts in tools/ and bench/; each installs what it needs first.
.PHONY: all test run stop bench fuzz package
all:
	tools/build.sh
test:
	tools/test.sh
run:
	tools/run.sh
stop:
	tools/stop.sh
bench:
	bench/run.sh
fuzz:
	fuzz/run.sh
package:
	tools/package.sh
