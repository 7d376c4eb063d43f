# Thin wrapper over CMake: installs what is missing, configures, builds.
#   make run ARGS='-g 20'    build the programs, then run kesp with ARGS
#   make test                build everything (the test programs too), then run
#                            the whole test suite
#   make test SANITIZE=1     the same under ASan and UBSan (own build folder)
#   make install [PREFIX=/usr/local] [DESTDIR=...]
#   make uninstall [DESTDIR=...]  removes what the last install put there
#   make memcheck            the end-to-end suite with kesp under valgrind
#   make fuzz [FUZZ_SECONDS=60]  builds the fuzz targets with clang, runs each
#   make deb                 builds the Debian package kesp_VERSION_amd64.deb in
#                            build-deb/ (dpkg-buildpackage, from a copy of the tree)
#   make deb-check           builds it, then lints it and tries it in a throwaway root
#   make bench               times kesp against sqlite3 and openssl (bench/run),
#                            kesp-audit against a generated list (bench/audit_run),
#                            kesp-merge (bench/merge), and kesp with kesp-agent
#                            (bench/agent)

PREFIX   ?= /usr/local
DESTDIR  ?=
# cmake --install reads the staging folder from the environment.
export DESTDIR
JOBS     ?= 2
SANITIZE ?= 0

ifeq ($(SANITIZE),1)
BUILD ?= build-sanitize
CMAKE_FLAGS += -DKESP_SANITIZE=ON
else
BUILD ?= build
endif

MAKEFLAGS += --no-print-directory
.PHONY: all deps configure build build-all run test install uninstall clean memcheck fuzz bench deb deb-check

all: build

deps:
	@./scripts/install-deps.sh

# Configured once (again after a configure that failed); later builds re-run
# cmake by themselves when a CMakeLists.txt changes. Ninja when it is there:
# a build with nothing to do then takes a few hundredths of a second (Make's
# generator starts a cmake process or two for every target, more than a
# hundred in all).
configure: deps
	@test -f $(BUILD)/build.ninja || test -f $(BUILD)/Makefile || { \
		echo "Configuring the build in $(BUILD)/ (cmake)..." >&2; \
		rm -rf $(BUILD)/CMakeCache.txt $(BUILD)/CMakeFiles; \
		generator=; command -v ninja >/dev/null && generator="-G Ninja"; \
		cmake -S . -B $(BUILD) $$generator -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) \
			>$(BUILD).configure.log 2>&1 || { cat $(BUILD).configure.log; exit 1; }; }

# Build output goes to a log so that `make run` shows only kesp's own output
# on standard output; each file compiled is shown on standard error, and the
# log is printed when the build fails. `make build` makes the programs
# only; the test programs, the programs' copies with the test hooks and the
# rest come with `make test`.
BUILD_TARGETS = --target kesp_programs
build: configure
	@{ cmake --build $(BUILD) -j$(JOBS) $(BUILD_TARGETS) 2>&1; echo $$? >$(BUILD).status; } \
		| tee $(BUILD).log | scripts/show-progress.sh $(BUILD).log; \
		status=$$(cat $(BUILD).status); rm -f $(BUILD).status; \
		if [ "$$status" != 0 ]; then cat $(BUILD).log; exit 1; fi

build-all: BUILD_TARGETS =
build-all: build

run: build
	@./$(BUILD)/kesp $(ARGS)

test: build-all
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

# The manifest lists the installed paths without DESTDIR; give the same
# DESTDIR as to the install.
uninstall:
	@test -f $(BUILD)/install_manifest.txt || { echo "Nothing installed from $(BUILD)."; exit 0; }; \
		while IFS= read -r f || [ -n "$$f" ]; do \
			case "$$f" in "$(DESTDIR)"/*) ;; *) f="$(DESTDIR)$$f" ;; esac; \
			rm -f "$$f"; \
		done < $(BUILD)/install_manifest.txt

clean:
	rm -rf build build-sanitize build.log build.configure.log build-sanitize.log build-sanitize.configure.log
	rm -rf build-fuzz build-fuzz.log build-fuzz.configure.log build-deb

# Every kesp that a test starts runs under valgrind, logging to its own file
# so that standard error stays comparable; any non-empty log is a failure.
# The log folder is writable for all: some tests run kesp as nobody.
MEMCHECK_LOGS = $(CURDIR)/$(BUILD)/memcheck
VALGRIND = valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect \
	--errors-for-leak-kinds=definite,indirect --error-exitcode=99 \
	--log-file=$(MEMCHECK_LOGS)/kesp.%p.log

memcheck: build-all
	@KESP_DEPS_EXTRA=1 ./scripts/install-deps.sh
	@rm -rf $(MEMCHECK_LOGS) && mkdir -p $(MEMCHECK_LOGS) && chmod 1777 $(MEMCHECK_LOGS)
	@cd $(BUILD) && KESP_TEST_WRAPPER="$(VALGRIND)" ctest --output-on-failure -j$(JOBS)
	@runs=$$(ls $(MEMCHECK_LOGS) | wc -l); \
		bad=$$(find $(MEMCHECK_LOGS) -type f -size +0 | sort); \
		if [ -n "$$bad" ]; then for f in $$bad; do echo "== $$f"; cat "$$f"; done; \
			echo "memcheck: errors or leaks in $$(echo "$$bad" | wc -l) of $$runs runs of the programs"; exit 1; fi; \
		echo "memcheck: $$runs runs of the programs under valgrind, no errors, no leaks"

# The package is built from a copy of the tree, as dpkg-buildpackage writes
# its results beside the folder it builds.
DEB_BUILD ?= build-deb
deb:
	@KESP_DEPS_DEB=1 ./scripts/install-deps.sh
	@rm -rf $(DEB_BUILD) && mkdir -p $(DEB_BUILD)/kesp
	@tar -c --exclude=./.git --exclude='./build' --exclude='./build-*' --exclude='./*.log' . \
		| tar -x -C $(DEB_BUILD)/kesp
	@echo "Building the Debian package in $(DEB_BUILD)/ (dpkg-buildpackage)..." >&2
	@{ cd $(DEB_BUILD)/kesp && dpkg-buildpackage -b -us -uc 2>&1; echo $$? >../status; } \
		| tee $(DEB_BUILD)/build.log | scripts/show-progress.sh $(DEB_BUILD)/build.log; \
		status=$$(cat $(DEB_BUILD)/status); rm -f $(DEB_BUILD)/status; \
		if [ "$$status" != 0 ]; then cat $(DEB_BUILD)/build.log; exit 1; fi
	@ls $(DEB_BUILD)/kesp_*_*.deb

deb-check: deb
	@sh tests/scripts/package_test.sh $(CURDIR) $(DEB_BUILD)

FUZZ_SECONDS ?= 60
FUZZ_BUILD   ?= build-fuzz
FUZZ_TARGETS  = fuzz_container_file fuzz_container_mac fuzz_console

# Each target starts from the seeds in fuzz/corpus/<target> and replays the
# inputs kept in fuzz/regressions/<target>; new inputs go to the build folder.
fuzz:
	@KESP_DEPS_EXTRA=1 ./scripts/install-deps.sh
	@cmake -S . -B $(FUZZ_BUILD) -DKESP_FUZZ=ON -DKESP_BUILD_TESTS=OFF \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >$(FUZZ_BUILD).configure.log 2>&1 \
		|| { cat $(FUZZ_BUILD).configure.log; exit 1; }
	@cmake --build $(FUZZ_BUILD) -j$(JOBS) --target $(FUZZ_TARGETS) >$(FUZZ_BUILD).log 2>&1 \
		|| { cat $(FUZZ_BUILD).log; exit 1; }
	@for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/crashes; \
		kept=""; [ -d fuzz/regressions/$$t ] && kept=fuzz/regressions/$$t; \
		./$(FUZZ_BUILD)/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=3 \
			-print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/crashes/$$t- \
			$(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t $$kept >$(FUZZ_BUILD)/$$t.log 2>&1 \
			|| { tail -60 $(FUZZ_BUILD)/$$t.log; \
			     echo "fuzz: $$t failed; keep the input from $(FUZZ_BUILD)/crashes/ in fuzz/regressions/$$t/"; \
			     exit 1; }; \
		echo "fuzz: $$t: $$(grep -o 'number_of_executed_units: *[0-9]*' $(FUZZ_BUILD)/$$t.log \
			| grep -o '[0-9]*$$') inputs in $(FUZZ_SECONDS) s, no crash"; \
	done

bench: build
	@KESP_DEPS_EXTRA=1 ./scripts/install-deps.sh
	@bench/run $(BUILD)/kesp
	@bench/audit_run $(BUILD)/kesp-audit
	@bench/merge $(BUILD)/kesp-merge
	@bench/agent $(BUILD)
