# KBX Configurator: `make run` and `make test` on a fresh Debian machine.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The end-to-end tests wait on a serial line in real time, not on the CPU: run more at once.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))
DEBS := cmake make g++ pkg-config qt6-base-dev libgtest-dev libgmock-dev locales \
        clang libclang-rt-14-dev dpkg-dev file man-db lintian libgensio-dev ser2net
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps build run test test-e2e test-clang test-sanitize fuzz bench format screenshot install package lintian clean

# Installs the Debian packages that are missing (and nothing else): one query
# of dpkg when none is.
deps:
	@if [ "$$(dpkg-query -W -f='$${db:Status-Abbrev}\n' $(DEBS) 2>/dev/null | grep -c '^ii')" != "$(words $(DEBS))" ]; then \
	  missing=""; for p in $(DEBS); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; done; \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

# The builds are the presets of CMakePresets.json: werror here, clang, asan
# and fuzz below (default is a plain build that never fails on a warning).
build: deps
	cmake --preset werror -B $(BUILD)
	cmake --build $(BUILD) -j$(JOBS)

# The desktop program on a simulated type 290 UPS. Without a display, a
# command-line session with it instead: connect, identify, read the battery
# time, attach two modules, and read the time again.
run: build
	@if [ -n "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ]; then \
	  $(BUILD)/src/app/kbx-configurator --simulate 290; \
	else \
	  echo "No display: running the command line on the simulated UPS instead."; \
	  $(BUILD)/src/cli/kbx --simulate 290 connect info runtime modules 2 --yes runtime; \
	fi

# Every test but the long end-to-end runs of line faults (label e2e), which
# test-e2e runs.
test: build
	cd $(BUILD) && ctest --output-on-failure -j$(TEST_JOBS) --timeout 300 -LE e2e

# The end-to-end runs that take seconds each (label e2e): the real programs
# against the simulator, signals, pipes and descriptors.
test-e2e: build
	cd $(BUILD) && ctest --output-on-failure -j$(TEST_JOBS) --timeout 300 -L e2e

# The same tests built with clang (in $(CLANG_BUILD)), so that both compilers
# keep building the tree without a warning.
CLANG_BUILD ?= build-clang

test-clang: deps
	cmake --preset clang -B $(CLANG_BUILD)
	cmake --build $(CLANG_BUILD) -j$(JOBS)
	cd $(CLANG_BUILD) && ctest --output-on-failure -j$(TEST_JOBS) --timeout 300 -LE e2e

# Every test again, built with AddressSanitizer and UndefinedBehaviorSanitizer
# (leaks included; tests/lsan.supp names the libraries not ours).
ASAN_BUILD ?= build-asan
SANITIZE_ENV := ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
                LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0

test-sanitize: deps
	cmake --preset asan -B $(ASAN_BUILD)
	$(SANITIZE_ENV) cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && $(SANITIZE_ENV) ctest --output-on-failure -j$(TEST_JOBS) --timeout 300

# The libFuzzer targets of fuzz/, each run for FUZZ_RUNS inputs from its seeds
# in fuzz/corpus/<target>/ (what it finds on the way stays in
# $(FUZZ_BUILD)/corpus); a target that has not got through them in
# FUZZ_SECONDS fails, so four targets take at most 4 x FUZZ_SECONDS. A crash or
# a broken invariant leaves its input in $(FUZZ_BUILD)/artifacts/.
FUZZ_BUILD ?= build-fuzz
FUZZ_RUNS ?= 1000000
FUZZ_SECONDS ?= 600
FUZZ_TARGETS := fuzz_frames fuzz_identification fuzz_meter fuzz_ack

fuzz: deps
	cmake --preset fuzz -B $(FUZZ_BUILD)
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target $(FUZZ_TARGETS)
	@mkdir -p $(FUZZ_BUILD)/artifacts $(FUZZ_BUILD)/logs; passed=0; \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  log=$(FUZZ_BUILD)/logs/$$t.log; \
	  if $(FUZZ_BUILD)/fuzz/$$t -runs=$(FUZZ_RUNS) -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	       -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t >$$log 2>&1 && \
	     runs=$$(sed -n 's/^stat::number_of_executed_units: *//p' $$log) && [ "$$runs" -ge $(FUZZ_RUNS) ]; then \
	    secs=$$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' $$log); \
	    echo "$$t: $$runs runs in $$secs s ($$(sed -n 's/^stat::average_exec_per_sec: *//p' $$log)/s), no failure"; \
	    passed=$$((passed + 1)); \
	  else \
	    tail -n 60 $$log; echo "$$t FAILED: a failure, or fewer than $(FUZZ_RUNS) runs in $(FUZZ_SECONDS) s (input in $(FUZZ_BUILD)/artifacts/, log in $$log)"; \
	    echo "fuzz: $$passed passed, 1 failed"; exit 1; \
	  fi; \
	done; \
	echo "fuzz: $$passed passed, 0 failed"

bench: build
	$(BUILD)/bench/kbx-bench $(BUILD)/src/cli/kbx --desktop $(BUILD)/src/app/kbx-configurator \
	  --sim $(BUILD)/src/sim/kbx-ups-sim

# The README's screenshots, taken under Xvfb (needs xvfb, xdotool, imagemagick, openbox).
screenshot: build
	tools/screenshot.sh $(BUILD) docs/main-window.png

install: build
	cmake --install $(BUILD)

# The Debian packages of what `install` installs: $(BUILD)/kbx_<version>_<arch>.deb
# (command line and simulator) and $(BUILD)/kbx-configurator_<version>_<arch>.deb
# (desktop program).
package: build
	rm -f $(BUILD)/*.deb
	cmake --build $(BUILD) --target package

# The packages as a Debian administrator checks them: no error, no warning.
lintian: package
	lintian --fail-on error,warning $(BUILD)/kbx_*.deb $(BUILD)/kbx-configurator_*.deb

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(CLANG_BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
