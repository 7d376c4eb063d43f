# Thin wrapper over CMake: installs what is missing, configures, builds.
#   make run ARGS='-g 20'    build, then run kesp with ARGS
#   make test                build, then run the whole test suite
#   make test SANITIZE=1     the same under ASan and UBSan (own build folder)
#   make install [PREFIX=/usr/local] [DESTDIR=...]
#   make uninstall [DESTDIR=...]  removes what the last install put there

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
.PHONY: all deps configure build run test install uninstall clean

all: build

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) >$(BUILD).configure.log 2>&1 \
		|| { cat $(BUILD).configure.log; exit 1; }

# Build output goes to a log so that `make run` shows only kesp's own output;
# the log is printed when the build fails.
build: configure
	@cmake --build $(BUILD) -j$(JOBS) >$(BUILD).log 2>&1 || { cat $(BUILD).log; exit 1; }

run: build
	@./$(BUILD)/kesp $(ARGS)

test: build
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
