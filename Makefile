# Kestrova: `make run` starts the agent tool server on your own mail database;
# `make test` builds everything and runs the whole test suite.

BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test run demo deb bench bench-imap fuzz clean

all: build

deps:
	@bash tools/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) > /dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

run: build
	@exec $(BUILD)/kestrova --mcp-stdio

# Try Kestrova without a mail account: generated mail (several accounts, Chinese and English,
# many folders) in a separate demo home, then the tool server on it. Your own mail is never
# touched; `rm -rf $(DEMO)` removes the demo.
DEMO ?= $(BUILD)/demo
DEMO_HOME = $(abspath $(DEMO))

demo: configure
	@cmake --build $(BUILD) -j $(JOBS) --target kestrova kestrova-generate-db
	@exec $(BUILD)/kestrova demo --home $(DEMO_HOME)

# The Debian package (build/kestrova_<version>_<arch>.deb): `sudo apt install ./build/kestrova_*.deb`.
deb: build
	@cd $(BUILD) && cpack -G DEB > /dev/null && ls $(abspath $(BUILD))/kestrova_*.deb

bench: build
	@bash bench/run_all.sh

# IMAP header load, Kestrova against Python's imaplib on a loopback Dovecot (bench/README.md).
bench-imap: deps
	@bash bench/run_imap.sh

fuzz: deps
	@bash fuzz/run.sh

clean:
	rm -rf $(BUILD) build-fuzz
