# SPDX-License-Identifier: BSD-2-Clause
# Shortcuts for the scripts in tools/ and bench/; each installs what it needs first.
.PHONY: all test run stop cli bench fuzz package
# The request for make cli; for example make cli ARGS="add-file /etc/hostname clean".
ARGS ?= status
all:
	tools/build.sh
test:
	tools/test.sh
run:
	tools/run.sh
stop:
	tools/stop.sh
# vrell-cli on the daemon that make run started.
cli:
	@build/normal/tools/vrell-cli -c run/vrell.ini $(ARGS)
bench:
	bench/run.sh
fuzz:
	fuzz/run.sh
package:
	tools/package.sh
