# The two commands a newcomer needs:
#   make demo    installs what is missing, builds, and updates a simulated radio
#   make check   installs what is missing, builds, and runs every test
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build demo check clean

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

clean:
	rm -rf $(BUILD) build-asan build-fuzz demo
