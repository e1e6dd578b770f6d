# The two commands a newcomer needs:
#   make demo    installs what is missing, builds, and updates a simulated radio
#   make check   installs what is missing, builds, and runs every test
# and for release engineers:
#   make package installs what is missing, builds, and writes the Debian
#                package $(BUILD)/corvel-code-updater_<version>_<arch>.deb
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build demo check screenshots package clean

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	./scripts/demo.sh $(BUILD)

check: build
	ctest --test-dir $(BUILD) --output-on-failure --timeout 600 -j $(JOBS)

# Screenshots of the window for the README, taken on a virtual display, and
# the station's live table, captured from a terminal of tmux's.
screenshots: build
	./scripts/make-demo-release.sh $(BUILD) $(BUILD)/shots-release >/dev/null
	xvfb-run -a -s "-screen 0 1280x1024x24" $(BUILD)/bin/corvel-screenshots \
	    $(BUILD)/shots-release/Updater_4400_Release_6_10 $(BUILD)/bin/corvel-radio-sim docs/screenshots
	./scripts/station-screenshot.sh $(BUILD) docs/screenshots/station.png

package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) build-asan build-fuzz demo
