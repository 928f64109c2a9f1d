# Two commands for a fresh machine: `make demo` and `make test`.
# Both install the Debian packages they need first (scripts/install-deps.sh):
# make demo only those of the nqwfp tool, make test every one.
BUILD ?= build
CMAKE_GEN ?= -G Ninja
JOBS ?= $(shell nproc)

.PHONY: all deps demo test bench host32 host64 windows tsan asan fuzz image-test sample-client clean

all: host32

deps:
	@scripts/install-deps.sh

# A flavour's build directory, configured once.
configure = cmake -S . -B $(BUILD)/$(1) $(CMAKE_GEN) -DNQ_FLAVOUR=$(1) \
  $(if $(filter windows,$(1)),-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake)
$(BUILD)/%/build.ninja: | deps
	$(call configure,$*)

host32 host64 windows: %: deps $(BUILD)/%/build.ninja
	cmake --build $(BUILD)/$* -j $(JOBS)

# host64 again, under ThreadSanitizer: every test, races reported as failures.
$(BUILD)/tsan/build.ninja: | deps
	cmake -S . -B $(BUILD)/tsan $(CMAKE_GEN) -DNQ_FLAVOUR=host64 -DNQ_TSAN=ON

tsan: deps $(BUILD)/tsan/build.ninja
	cmake --build $(BUILD)/tsan -j $(JOBS)

# host64 again, under AddressSanitizer and UndefinedBehaviorSanitizer: every
# test, any finding a failure.
$(BUILD)/asan/build.ninja: | deps
	cmake -S . -B $(BUILD)/asan $(CMAKE_GEN) -DNQ_FLAVOUR=host64 -DNQ_ASAN=ON

asan: deps $(BUILD)/asan/build.ninja
	cmake --build $(BUILD)/asan -j $(JOBS)

# Replays the sample capture (scripts/record-sample.sh made it) as seen by
# the client host, with the demo policy; the JSON log and the captures of
# the outcome go to files. Builds the nqwfp tool alone, with only the
# packages it needs.
demo:
	@scripts/install-deps.sh demo
	@[ -f $(BUILD)/host32/build.ninja ] || $(call configure,host32)
	cmake --build $(BUILD)/host32 -j $(JOBS) --target nqwfp
	$(BUILD)/host32/tools/nqwfp replay samples/demo.pcap --local 10.77.0.2 \
	  --policy samples/demo.policy --log $(BUILD)/demo-replay.jsonl \
	  --write $(BUILD)/demo.pcapng --write-passed $(BUILD)/demo-passed.pcapng
	@echo "log of every client call, classify and injection: $(BUILD)/demo-replay.jsonl"
	@echo "for Wireshark, every packet with what became of it: $(BUILD)/demo.pcapng; what passed: $(BUILD)/demo-passed.pcapng"

# The sample client driver (samples/client) as an i386 shared object, with
# the nqwfp that loads it: nqwfp replay CAPTURE --client $(BUILD)/host32/samples/client/sample_client.so
sample-client: deps $(BUILD)/host32/build.ninja
	cmake --build $(BUILD)/host32 -j $(JOBS) --target sample_client nqwfp
	@echo "sample client: $(BUILD)/host32/samples/client/sample_client.so"

test: host32 host64 windows tsan asan fuzz
	ctest --test-dir $(BUILD)/windows --output-on-failure
	TSAN_OPTIONS="halt_on_error=1 atexit_sleep_ms=0" ctest --test-dir $(BUILD)/tsan --output-on-failure -j $(JOBS)
	ASAN_OPTIONS="detect_leaks=1 abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1" \
	  ctest --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)
	ctest --test-dir $(BUILD)/host64 --output-on-failure -j $(JOBS)
	ctest --test-dir $(BUILD)/host32 --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory image-test

# The real nqwfpdrv.sys under Wine, with the host platform built as PE DLLs
# for its kernel modules: the image's own tests and the black-box tests that
# also run on host32 (tests/image). Installs Wine first; the last step of
# make test, whose log ends with its summary line.
image-test: windows
	@scripts/install-deps.sh image
	cmake -S tests/image -B $(BUILD)/image $(CMAKE_GEN) \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686-posix.cmake \
	  -DNQ_IMAGE=$(abspath $(BUILD)/windows/windows/nqwfpdrv.sys) >/dev/null
	cmake --build $(BUILD)/image -j $(JOBS)
	tests/image/run-image-tests.sh $(BUILD)/image -j $(JOBS)

bench: host64
	$(BUILD)/host64/bench/nqwfp_bench
	$(BUILD)/host64/bench/nqwfp_driver_bench
	bench/replay-scaling.sh $(BUILD)/host64

# The libFuzzer targets (clang, ASan, UBSan) in a build directory of their
# own, the HTTP parser's, the capture reader's and the stream handler's
# with the request processing: seeded runs of bounded
# length from the committed seeds; new inputs go to scratch corpora, crashes
# to $(BUILD)/fuzz/.
FUZZ_RUNS ?= 40000
CAPTURE_FUZZ_RUNS ?= 100000
STREAM_FUZZ_RUNS ?= 15000
FUZZ_TIME ?= 120
fuzz: deps
	cmake -S fuzz -B $(BUILD)/fuzz $(CMAKE_GEN) -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	rm -rf $(BUILD)/fuzz/corpus && mkdir -p $(BUILD)/fuzz/corpus
	$(BUILD)/fuzz/http_parser_fuzzer $(BUILD)/fuzz/corpus tests/fuzz/corpus -seed=1 -runs=$(FUZZ_RUNS) \
	  -max_total_time=$(FUZZ_TIME) -max_len=6000 -artifact_prefix=$(BUILD)/fuzz/ \
	  >$(BUILD)/fuzz/fuzz.log 2>&1 || { tail -n 40 $(BUILD)/fuzz/fuzz.log; exit 1; }
	@grep -E '^(INFO: seed corpus|Done)' $(BUILD)/fuzz/fuzz.log
	rm -rf $(BUILD)/fuzz/capture-corpus && mkdir -p $(BUILD)/fuzz/capture-corpus
	$(BUILD)/fuzz/capture_fuzzer $(BUILD)/fuzz/capture-corpus tests/fuzz/captures -seed=1 -runs=$(CAPTURE_FUZZ_RUNS) \
	  -max_total_time=$(FUZZ_TIME) -max_len=8192 -artifact_prefix=$(BUILD)/fuzz/capture- \
	  >$(BUILD)/fuzz/capture-fuzz.log 2>&1 || { tail -n 40 $(BUILD)/fuzz/capture-fuzz.log; exit 1; }
	@grep -E '^(INFO: seed corpus|Done)' $(BUILD)/fuzz/capture-fuzz.log
	rm -rf $(BUILD)/fuzz/stream-corpus && mkdir -p $(BUILD)/fuzz/stream-corpus
	$(BUILD)/fuzz/stream_fuzzer $(BUILD)/fuzz/stream-corpus tests/fuzz/stream -seed=1 -runs=$(STREAM_FUZZ_RUNS) \
	  -max_total_time=$(FUZZ_TIME) -max_len=2048 -artifact_prefix=$(BUILD)/fuzz/stream- \
	  >$(BUILD)/fuzz/stream-fuzz.log 2>&1 || { tail -n 40 $(BUILD)/fuzz/stream-fuzz.log; exit 1; }
	@grep -E '^(INFO: seed corpus|Done)' $(BUILD)/fuzz/stream-fuzz.log

clean:
	rm -rf $(BUILD)
