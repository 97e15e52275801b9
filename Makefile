# KBX Configurator: `make run` and `make test` on a fresh Debian machine.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
DEBS := cmake make g++ pkg-config qt6-base-dev qt6-serialport-dev libgtest-dev libgmock-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps build run test bench format clean

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

# A session with a simulated type 290 UPS: connect, identify, read the
# battery time, attach two modules, and read the time again.
run: build
	$(BUILD)/src/cli/kbx --simulate 290 connect info runtime modules 2 --yes runtime

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 300

bench: build
	$(BUILD)/bench/kbx-bench $(BUILD)/src/cli/kbx

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD)
