# Dravelin — the two commands: `make run` and `make test`.

SHELL := /bin/bash
PRESET ?= dev
BUILD  := build/$(PRESET)
SETUP_STAMP := build/.setup-done
SOURCES = $(shell git ls-files --cached --others --exclude-standard '*.cpp' '*.h')

.PHONY: all setup configure build test fuzz-smoke run stop models deb format format-check lint bench clean

all: build

# Installs system packages once (again whenever scripts/setup changes).
$(SETUP_STAMP): scripts/setup scripts/setup-whisper scripts/whisper-models.tsv scripts/setup-llm scripts/llm-models.tsv
	bash scripts/setup
	@mkdir -p build && touch $@

setup: $(SETUP_STAMP)

$(BUILD)/build.ninja: | $(SETUP_STAMP)
	cmake --preset $(PRESET)

configure: $(BUILD)/build.ninja

build: configure
	cmake --build --preset $(PRESET)

# Builds everything and runs every test label (unit, and later integration,
# desktop and audio).
test: build
	ctest --preset $(PRESET)
	$(MAKE) --no-print-directory fuzz-smoke

# The parsers' libFuzzer targets (HTTP requests, multipart, WebSocket frames, NDJSON replies, backend JSON), briefly (FUZZ_SECONDS each); run longer by hand
# with e.g. `make fuzz-smoke FUZZ_SECONDS=600`.
FUZZ_SECONDS ?= 10
fuzz-smoke: | $(SETUP_STAMP)
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz
	@for pair in http_request_fuzz:http multipart_fuzz:multipart websocket_frame_fuzz:websocket ndjson_fuzz:ndjson backend_json_fuzz:backend-json \
		server_json_fuzz:server-json oauth_callback_fuzz:oauth-callback; do \
		target=$${pair%%:*}; corpus=fuzz/corpus/$${pair##*:}; \
		mkdir -p build/fuzz/corpus-$$target; \
		./build/fuzz/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) -max_len=8192 -print_final_stats=1 \
			build/fuzz/corpus-$$target $$corpus 2>&1 | grep -E '^(stat::number_of_executed_units|==|SUMMARY|INFO: seed)' ; \
		test $${PIPESTATUS[0]} -eq 0 || exit 1; \
	done

# Starts dravelin-server in the background (if it is not running yet), then dravelin.
run: build
	@bash scripts/run $(BUILD)

# More Whisper models from scripts/whisper-models.tsv, installed into
# $XDG_DATA_HOME/dravelin/models/ggml-NAME.bin: e.g. `make models MODELS="base base-q8_0"`.
MODELS ?= base
models: build
	@$(BUILD)/tools/model/dravelin-model install $(MODELS)

# The Debian packages dravelin and dravelin-server, from a release build
# (build/release), in build/deb.
deb: | $(SETUP_STAMP)
	cmake --preset release >/dev/null
	cmake --build --preset release
	cpack --config build/release/CPackConfig.cmake -B build/deb
	@rm -rf build/deb/_CPack_Packages
	@ls -l build/deb/*.deb

stop:
	@if [ -f build/dravelin-server.pid ] && kill "$$(cat build/dravelin-server.pid)" 2>/dev/null; then \
		echo "dravelin-server stopped"; fi; rm -f build/dravelin-server.pid

format: | $(SETUP_STAMP)
	@clang-format -i $(SOURCES)

format-check: | $(SETUP_STAMP)
	@clang-format --dry-run --Werror $(SOURCES)

lint: configure
	@run-clang-tidy -j 2 -quiet -p $(BUILD) -extra-arg=-Wno-unknown-warning-option \
		$(addprefix $(CURDIR)/,$(filter %.cpp,$(filter src/% app/% server/%,$(SOURCES)))) >build/lint.log 2>&1 || \
		{ grep -E 'warning:|error:' build/lint.log | sort -u; exit 1; }
	@echo "lint: clean ($$(grep -c '^clang-tidy' build/lint.log) files)"

# Benchmarks print their figures; see docs/benchmarks.md.
bench: build
	tests/integration/with-pulseaudio.sh ./$(BUILD)/bench/audio_bench
	./$(BUILD)/bench/server_bench ./$(BUILD)/server/dravelin-server
	./$(BUILD)/bench/server_load_bench ./$(BUILD)/server/dravelin-server
	tests/integration/with-postgres.sh ./$(BUILD)/bench/server_team_bench ./$(BUILD)/server/dravelin-server
	./$(BUILD)/bench/speech_bench
	tests/desktop/with-desktop.sh ./$(BUILD)/bench/paste_bench ./$(BUILD)/tests/dravelin_test_window
	tests/desktop/with-desktop.sh ./$(BUILD)/bench/dictation_bench ./$(BUILD)/tests/dravelin_test_window 10
	tests/desktop/with-desktop.sh ./$(BUILD)/bench/rewrite_bench ./$(BUILD)/tests/dravelin_test_window 5

clean:
	rm -rf build
