# KBX Configurator: `make run` and `make test` on a fresh Debian machine.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
DEBS := cmake make g++ pkg-config qt6-base-dev qt6-serialport-dev libgtest-dev libgmock-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps build run test bench format screenshot install clean

# Installs the Debian packages that are missing (and nothing else).
deps:
	@missing=""; for p in $(DEBS); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
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

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 300

bench: build
	$(BUILD)/bench/kbx-bench $(BUILD)/src/cli/kbx

# The README's screenshot, taken under Xvfb (needs xvfb, xdotool, imagemagick).
screenshot: build
	tools/screenshot.sh $(BUILD) docs/main-window.png

install: build
	cmake --install $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD)
