# Kestrova: `make run` starts the agent tool server on your own mail database;
# `make test` builds everything and runs the whole test suite.

BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test run demo bench bench-imap fuzz clean

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
DEMO_ENV = HOME=$(DEMO_HOME) XDG_DATA_HOME=$(DEMO_HOME)/data XDG_CONFIG_HOME=$(DEMO_HOME)/config XDG_STATE_HOME=$(DEMO_HOME)/state

demo: configure
	@cmake --build $(BUILD) -j $(JOBS) --target kestrova kestrova-generate-db
	@test -f $(DEMO_HOME)/data/tivra/Email/email.db || { mkdir -p $(DEMO_HOME)/data/tivra/Email && \
	  $(BUILD)/tools/kestrova-generate-db --out $(DEMO_HOME)/data/tivra/Email/email.db \
	    --messages 3000 --accounts 3 --folders 15 --seed 7 > /dev/null; }
	@echo "Demo mail in $(DEMO_HOME). Try the command line on it:" >&2
	@echo "  env $(DEMO_ENV) $(abspath $(BUILD))/kestrova list" >&2
	@echo "Point an agent host at it (\"mcpServers\" form; VS Code: \"servers\" with \"type\": \"stdio\"):" >&2
	@echo '  {"mcpServers": {"kestrova-demo": {"command": "$(abspath $(BUILD))/kestrova", "args": ["--mcp-stdio"],' >&2
	@echo '    "env": {"HOME": "$(DEMO_HOME)", "XDG_DATA_HOME": "$(DEMO_HOME)/data", "XDG_CONFIG_HOME": "$(DEMO_HOME)/config", "XDG_STATE_HOME": "$(DEMO_HOME)/state"}}}}' >&2
	@echo "Starting the tool server on the demo mail (Ctrl-D or Ctrl-C ends it)." >&2
	@exec env $(DEMO_ENV) $(BUILD)/kestrova --mcp-stdio

bench: build
	@bash bench/run_all.sh

# IMAP header load, Kestrova against Python's imaplib on a loopback Dovecot (bench/README.md).
bench-imap: deps
	@bash bench/run_imap.sh

fuzz: deps
	@bash fuzz/run.sh

clean:
	rm -rf $(BUILD) build-fuzz
