/* Where swug-gen's output goes: what the system opens for the output path
 * decides, with the protections and permissions an overwrite has. */
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "e2e_support.h"

static const std::string GEN = SWUG_GEN_PATH;
static const uid_t NOBODY = 65534;

/* The user a run "without privileges" is: ourselves, or nobody when we are root. */
static uid_t plain_uid()
{
    return geteuid() == 0 ? NOBODY : geteuid();
}

/* argv run by plain_uid(): under setpriv when we are root. */
static std::vector<std::string> as_plain_user(std::vector<std::string> argv)
{
    if (geteuid() == 0)
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                   "--clear-groups"});
    return argv;
}

static std::string need_plain_user()
{
    if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0)
        return "running as root, and no setpriv to run as another user";
    return "";
}

static std::string need_root()
{
    return geteuid() == 0 ? "" : "needs root";
}

static std::string need_sysctl(const char *name)
{
    std::string value = read_file(std::string("/proc/sys/fs/") + name);
    if (value.empty() || value[0] == '0')
        return std::string("fs.") + name + " is off here";
    return need_root();
}

static ino_t inode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

/* A folder the plain user may enter, holding in.bin. */
struct OutputDir : TempDir {
    std::string input = pattern(3000);
    OutputDir()
    {
        chmod(path.c_str(), 0755);
        write_file(*this / "in.bin", input);
    }
    void give(const std::string &name, uid_t uid = plain_uid())
    {
        EXPECT_EQ(lchown((*this / name).c_str(), uid, uid), 0) << name << ": " << strerror(errno);
    }
};

struct OutputCase {
    const char *what;
    std::function<std::string()> ready; /* "", or why the case cannot run here */
    std::function<void(OutputDir &)> setup;
    bool plain_user;                    /* run by plain_uid() rather than by us */
    const char *out;                    /* the output argument */
    const char *file;                   /* the file that holds the old image */
};

static RunResult run_case(const OutputCase &c, OutputDir &d, const RunOptions &opt = RunOptions())
{
    std::vector<std::string> argv = {GEN, d / "in.bin", d / c.out};
    return run_program(c.plain_user ? as_plain_user(argv) : argv, d.path, opt);
}

/* Run check on every case that can run here, each in a fresh OutputDir set
 * up for it. Skipped cases are named; the test skips when none could run. */
static void run_cases(const std::vector<OutputCase> &cases,
                      const std::function<void(const OutputCase &, OutputDir &)> &check)
{
    std::string why;
    size_t skipped = 0;
    for (auto &c : cases) {
        std::string not_here = c.ready();
        if (!not_here.empty()) {
            why += std::string("\n  ") + c.what + ": " + not_here;
            skipped++;
            continue;
        }
        OutputDir d;
        c.setup(d);
        check(c, d);
    }
    if (skipped == cases.size())
        GTEST_SKIP() << "no case could run here:" << why;
    if (skipped > 0)
        std::cout << "cases skipped here:" << why << "\n";
}

/* Names of descriptors, and links to them, are written through the
 * descriptor, even when the file behind it has no name any more. */
TEST(Output, DescriptorNamesAreWrittenThrough)
{
    struct { const char *what, *script; std::vector<std::string> left; } cases[] = {
        {"/dev/stdout into a pipe", "\"$0\" in.bin /dev/stdout | cat", {"in.bin"}},
        {"a link to /dev/stdout", "ln -s /dev/stdout link && \"$0\" in.bin link | cat",
         {"in.bin", "link"}},
        {"/dev/stdout to a deleted file",
         "exec 5>gone.bin && rm gone.bin && \"$0\" in.bin /dev/stdout >&5 && cat /dev/fd/5",
         {"in.bin"}},
        {"/dev/fd/5, a deleted file",
         "exec 5>gone.bin && rm gone.bin && \"$0\" in.bin /dev/fd/5 && cat /dev/fd/5", {"in.bin"}},
    };
    for (auto &c : cases) {
        OutputDir d;
        RunResult r = run_program({"/bin/sh", "-c", c.script, GEN}, d.path);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_TRUE(r.out == reference_image(d.input)) << c.what << ": " << r.out.size() << " bytes";
        EXPECT_EQ(list_dir(d.path), c.left) << c.what;
    }
}

/* Where an overwrite would be refused, so is the run, and nothing changes. */
TEST(Output, RefusedLikeAnOverwrite)
{
    std::vector<OutputCase> cases = {
        {"a 0444 file in a folder the user may write", need_plain_user,
         [](OutputDir &d) {
             write_file(d / "out.bin", "old image");
             chmod((d / "out.bin").c_str(), 0444);
             d.give(".");
             d.give("out.bin");
         },
         true, "out.bin", "out.bin"},
        {"root following another user's link in a sticky folder",
         [] { return need_sysctl("protected_symlinks"); },
         [](OutputDir &d) {
             make_dir(d / "tmp");
             chmod((d / "tmp").c_str(), 01777);
             write_file(d / "victim", "old image");
             symlink("../victim", (d / "tmp/out.bin").c_str());
             d.give("tmp/out.bin", NOBODY);
         },
         false, "tmp/out.bin", "victim"},
        {"root following another user's link to nothing in a sticky folder", need_root,
         [](OutputDir &d) {
             make_dir(d / "tmp");
             chmod((d / "tmp").c_str(), 01777);
             write_file(d / "victim", "old image");
             symlink("../missing", (d / "tmp/out.bin").c_str());
             d.give("tmp/out.bin", NOBODY);
         },
         false, "tmp/out.bin", "victim"},
        {"root opening another user's file in a sticky folder",
         [] { return need_sysctl("protected_regular"); },
         [](OutputDir &d) {
             make_dir(d / "tmp");
             chmod((d / "tmp").c_str(), 01777);
             write_file(d / "tmp/out.bin", "old image");
             chmod((d / "tmp/out.bin").c_str(), 0666);
             d.give("tmp/out.bin", NOBODY);
         },
         false, "tmp/out.bin", "tmp/out.bin"},
    };
    run_cases(cases, [](const OutputCase &c, OutputDir &d) {
        std::vector<std::string> before = list_dir(d.path);
        RunResult r = run_case(c, d);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_TRUE(read_file(d / c.file) == "old image") << c.what;
        EXPECT_EQ(list_dir(d.path), before) << c.what;
    });
}

/* Where the file may be written but not replaced, it is written in place:
 * the same file, holding exactly the image. */
TEST(Output, InPlaceWhereReplacingIsRefused)
{
    const std::string old = pattern(9000, 7); /* longer than the image: no old tail may stay */
    std::vector<OutputCase> cases = {
        {"a 0666 file in a folder the user may not create in", need_plain_user,
         [&](OutputDir &d) {
             make_dir(d / "ro");
             write_file(d / "ro/out.bin", old);
             chmod((d / "ro/out.bin").c_str(), 0666);
             chmod((d / "ro").c_str(), 0555);
         },
         true, "ro/out.bin", "ro/out.bin"},
        {"another user's file in a sticky folder (rename: EPERM)", need_root,
         [&](OutputDir &d) {
             make_dir(d / "tmp");
             chmod((d / "tmp").c_str(), 01777);
             write_file(d / "tmp/out.bin", old);
             chmod((d / "tmp/out.bin").c_str(), 0666);
         },
         true, "tmp/out.bin", "tmp/out.bin"},
        {"a bind-mounted file (rename: EBUSY)", need_root,
         [&](OutputDir &d) {
             write_file(d / "out.bin", "");
             write_file(d / "mounted.bin", old);
             if (mount((d / "mounted.bin").c_str(), (d / "out.bin").c_str(), nullptr, MS_BIND,
                       nullptr) != 0)
                 ADD_FAILURE() << "bind mount: " << strerror(errno);
         },
         false, "out.bin", "out.bin"},
    };
    run_cases(cases, [](const OutputCase &c, OutputDir &d) {
        std::vector<std::string> before = list_dir(d / c.file + "/..");
        ino_t ino = inode_of(d / c.file);
        RunResult r = run_case(c, d);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_TRUE(read_file(d / c.file) == reference_image(d.input)) << c.what;
        EXPECT_EQ(inode_of(d / c.file), ino) << c.what << ": replaced, not written in place";
        EXPECT_EQ(list_dir(d / c.file + "/.."), before) << c.what;
        umount((d / "out.bin").c_str());
    });
}

/* Flushing, closing or renaming the temporary file fails: the old output stays as it
 * was, a new one never appears. A refused rename writes in place instead. */
TEST(Output, FailedCloseOrRename)
{
    struct { const char *call, *err; bool existing; int status; } cases[] = {
        {"close", "", true, 1},    {"close", "", false, 1},
        {"fsync", "", true, 1},    {"fsync", "", false, 1},
        {"rename", "5", true, 1},  {"rename", "5", false, 1},   /* EIO */
        {"rename", "18", true, 0}, {"rename", "18", false, 0},  /* EXDEV: in place */
    };
    for (auto &c : cases) {
        OutputDir d;
        std::string old = pattern(9000, 3);
        if (c.existing)
            write_file(d / "out.bin", old);
        RunOptions opt;
        opt.env = preload_env(FAIL_OUTPUT_CALL_PATH);
        opt.env.push_back(std::string("SWUG_FAIL_CALL=") + c.call);
        opt.env.push_back(std::string("SWUG_FAIL_ERRNO=") + c.err);
        RunResult r = run_program({GEN, "in.bin", "out.bin"}, d.path, opt);
        std::string what = std::string(c.call) + " " + c.err + (c.existing ? " existing" : " new");
        EXPECT_EQ(r.status, c.status) << what;
        if (c.status == 0) {
            EXPECT_TRUE(read_file(d / "out.bin") == reference_image(d.input)) << what;
        } else if (c.existing) {
            EXPECT_TRUE(read_file(d / "out.bin") == old) << what;
        }
        std::vector<std::string> left = {"in.bin"};
        if (c.existing || c.status == 0)
            left.push_back("out.bin");
        EXPECT_EQ(list_dir(d.path), left) << what;
    }
}

/* The output changes between any look at its name and the open: what was
 * opened is what gets written, whole. */
TEST(Output, SwappedBeforeTheOpen)
{
    OutputDir d;
    ASSERT_EQ(mkfifo((d / "out.bin").c_str(), 0666), 0);
    write_file(d / "real.bin", pattern(9000, 5));
    ASSERT_EQ(symlink("real.bin", (d / "swap").c_str()), 0);
    RunOptions opt;
    opt.env = preload_env(FAIL_OUTPUT_CALL_PATH);
    opt.env.push_back("SWUG_FAIL_CALL=swap");
    opt.env.push_back("SWUG_SWAP_FROM=" + (d / "swap"));
    RunResult r = run_program({GEN, "in.bin", "out.bin"}, d.path, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(read_file(d / "real.bin") == reference_image(d.input))
        << read_file(d / "real.bin").size() << " bytes";
    struct stat st;
    EXPECT_TRUE(lstat((d / "out.bin").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_EQ(list_dir(d.path), (std::vector<std::string>{"in.bin", "out.bin", "real.bin"}));
}

/* The output's folder becomes a link to another folder once the path has
 * been looked up: the image still goes to the folder that was looked up. */
TEST(Output, FolderSwappedForALink)
{
    OutputDir d;
    make_dir(d / "fw");
    make_dir(d / "other");
    write_file(d / "fw/out.bin", "old image");
    ASSERT_EQ(symlink("other", (d / "swap").c_str()), 0);
    RunOptions opt;
    opt.env = preload_env(FAIL_OUTPUT_CALL_PATH);
    opt.env.insert(opt.env.end(), {"SWUG_FAIL_CALL=swapdir", "SWUG_SWAP_FROM=" + (d / "swap"),
                                   "SWUG_SWAP_TO=" + (d / "fw")});
    RunResult r = run_program({GEN, "in.bin", "fw/out.bin"}, d.path, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(read_file(d / "swap/out.bin") == reference_image(d.input));
    EXPECT_EQ(list_dir(d / "other"), std::vector<std::string>{});
}

/* Each row: a shell script run as root in a mount namespace of its own, in a
 * folder holding in.bin, in2.bin and their images want.bin, want2.bin; it
 * exits 0 when every check held, 77 when its tools are missing, else says
 * what failed. Helpers: run STATUS ARGS..., same, only DIR NAMES..., owner,
 * temp_in DIR (waits for a temporary file there). */
TEST(Output, WholeOrNothingOnRealSystems)
{
    static const char helpers[] =
        "fail() { echo \"$*\"; exit 1; }\n"
        "run() { want=$1; shift; \"$SWUG_GEN\" \"$@\"; s=$?;"
        " [ \"$s\" = \"$want\" ] || fail \"status $s, not $want: $*\"; }\n"
        "same() { cmp -s \"$1\" \"$2\" || fail \"$1 is not $2\"; } # in a pipe: same ... || exit 1\n"
        "only() { d=$1; shift; [ \"$(ls -A \"$d\")\" = \"$(printf '%s\\n' \"$@\" | sort)\" ] ||"
        " fail \"$d holds\" $(ls -A \"$d\"); }\n"
        "owner() { [ $(stat -c %u:%g:%a $1) = $2 ] || fail $1 is $(stat -c %u:%g:%a $1); }\n"
        "temp_in() { i=0; until ls -A $1 | grep -q swug-gen; do sleep 0.01; i=$((i+1));"
        " [ $i -lt 3000 ] || fail no temporary file; done; }\n"
        "A=1001 B=1002 # two users; as UID[:GROUP] ARGS... runs ARGS as the first\n"
        "as() { u=${1%:*} g=${1#*:}; shift; setpriv --reuid=$u --regid=$u --groups=${g:-$u} \"$@\"; }\n"
        "for t in $0; do command -v $t >/dev/null || { echo no $t here; exit 77; }; done\n";
    struct { const char *what, *tools, *script; } rows[] = {
        {"a block device whose flush fails (loop device over a full tmpfs)", "losetup",
         "mkdir t && mount -t tmpfs -o size=1m swug t && truncate -s 16m t/back &&"
         " dev=$(losetup -f --show t/back) || fail set-up\n"
         "trap 'losetup -d $dev' EXIT; cat /dev/zero >t/fill 2>/dev/null; run 1 in.bin $dev"},
        {"no /proc: two runs at once never tear the output, a full disk keeps it", "",
         "mount -t tmpfs swug /proc && mkdir /proc/self && echo old >out.bin || fail set-up\n"
         "printf 'ASAN_OPTIONS=detect_leaks=0\\0' >/proc/self/environ # sanitizers read it here\n"
         "for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do\n"
         "  \"$SWUG_GEN\" in.bin out.bin & run 0 in2.bin out.bin; wait $! || fail status $?\n"
         "  cmp -s out.bin want.bin || same out.bin want2.bin\n"
         "done; only . in.bin in2.bin out.bin want.bin want2.bin\n"
         "mkdir t && mount -t tmpfs -o size=64k swug t && cp in.bin t/fw.bin || fail set-up\n"
         "cat /dev/zero >t/fill 2>/dev/null; run 1 t/fw.bin t/fw.bin; same t/fw.bin in.bin"},
        {"out of inodes: status 1, the old output kept", "",
         "mkdir t && mount -t tmpfs -o nr_inodes=2 swug t && echo old >t/out.bin || fail set-up\n"
         "run 1 in.bin t/out.bin; echo old | same - t/out.bin || exit 1; only t out.bin"},
        {"out of descriptors (ulimit -n 4): status 1, the old output kept", "",
         "echo old >out.bin; (exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n 4; run 1 in.bin"
         " out.bin) || exit 1; echo old | same - out.bin || exit 1; only . in.bin in2.bin out.bin want*"},
        {"FAT without file modes (fusefat): new and replaced outputs", "mkfs.vfat fusefat fusermount",
         "truncate -s 32m fat.img && mkfs.vfat fat.img >/dev/null && mkdir m &&"
         " fusefat -o rw+ fat.img m 2>/dev/null || fail set-up\n"
         "trap 'fusermount -u m' EXIT; echo old >m/out.bin; run 0 in.bin m/new.bin\n"
         "run 0 in2.bin m/out.bin; same m/new.bin want.bin; same m/out.bin want2.bin"},
        {"owners: root replacing nobody's 6777 file, nobody root's 6766 file", "setpriv",
         "echo old >fw.img && chown 65534:65534 fw.img && chmod 6777 fw.img && run 0 in.bin fw.img\n"
         "same fw.img want.bin; owner fw.img 65534:65534:6777\n"
         "mkdir u && echo old >u/fw.img && chmod 6766 u/fw.img && chown 65534:65534 u\n"
         "setpriv --reuid=65534 --regid=65534 --clear-groups \"$SWUG_GEN\" in.bin u/fw.img ||"
         " fail status $?; same u/fw.img want.bin; owner u/fw.img 65534:65534:706"},
        {"the sticky folder's owner swaps the temporary entry for a link to our secret", "setpriv",
         "mkdir a b && echo secret >a/secret && chmod 600 a/secret && chown -R $A a && echo old"
         " >b/shared.bin && chmod 666 b/shared.bin && chown -R $B b && chmod 1777 b || fail set-up\n"
         "setpriv --reuid=$B --regid=$B --clear-groups \"$SWUG_SWAP\" b $PWD/a/secret >ready &\n"
         "until [ -s ready ]; do sleep 0.01; done; as $A \"$SWUG_GEN\" in.bin b/shared.bin; s=$?\n"
         "wait $! || fail no swap; cmp -s a/secret b/shared.bin && fail the secret in shared.bin\n"
         "if [ $s = 0 ]; then same b/shared.bin want.bin; else echo old | same - b/shared.bin || exit 1; fi"},
        {"set-ID bits kept for their owner, the group for its member, not for others", "setpriv",
         "mkdir s && echo old >s/u && echo old >s/g && echo old >s/m && chown $A:$A s s/u s/g &&"
         " chown $B:1005 s/m && chmod 4755 s/u && chmod 2750 s/g && chmod 664 s/m || fail set-up\n"
         "as $A \"$SWUG_GEN\" in.bin s/u && as $A \"$SWUG_GEN\" in.bin s/g &&"
         " as $A:1005 \"$SWUG_GEN\" in.bin s/m || fail status $?\n"
         "owner s/u $A:$A:4755; owner s/g $A:$A:2750; owner s/m $A:1005:664; same s/m want.bin"},
        {"ACLs: a new output gets the folder's default, a replaced one keeps its own", "setfacl",
         "mkdir acl && echo old >acl/old.bin && setfacl -d -m u:$B:r,o::--- acl && echo old >acl/fw.bin &&"
         " setfacl -m u:$B:rw,g::--- acl/fw.bin || { echo no ACLs here; exit 77; }\n"
         "getfacl -cn acl/old.bin >old.was; run 0 in.bin acl/old.bin\n"
         "getfacl -cn acl/old.bin | cmp -s - old.was || fail old.bin got $(getfacl -cn acl/old.bin)\n"
         "getfacl -cn acl/fw.bin >acl.was; run 0 in.bin acl/new.bin; owner acl/new.bin 0:0:640\n"
         "run 0 in.bin acl/fw.bin; getfacl -cn acl/fw.bin | cmp -s - acl.was || fail the ACL is now"
         " $(getfacl -cn acl/fw.bin); same acl/fw.bin want.bin"},
        {"file capabilities kept by a replacement", "setcap getcap",
         "echo old >cap.bin && setcap cap_net_raw+ep cap.bin && getcap cap.bin >cap.was ||"
         " { echo no file capabilities here; exit 77; }\n"
         "run 0 in.bin cap.bin; getcap cap.bin | cmp -s - cap.was || fail cap.bin has $(getcap cap.bin)"},
        {"the absolute path may not be searched (ulimit -f): status 1, the old output kept",
         "setpriv",
         "mkdir -m 700 p && mkdir p/w && cp in2.bin p/w/in.bin && head -c 5000 in2.bin >p/w/out.bin"
         " && chown -R $A p/w || fail set-up\n"
         "(cd p/w && ulimit -f 100 && as $A \"$SWUG_GEN\" in.bin out.bin); [ $? = 1 ] ||"
         " fail status $?; head -c 5000 in2.bin | same - p/w/out.bin || exit 1; only p/w in.bin out.bin\n"
         "(cd p/w && as $A \"$SWUG_GEN\" in.bin out.bin && as $A \"$SWUG_GEN\" ./in.bin ./out.bin) || fail"
         " status $?; same p/w/out.bin want2.bin # and a folder that may be searched, not read:\n"
         "mkdir -m 300 w && chown $A w && as $A \"$SWUG_GEN\" in.bin w/out.bin && same w/out.bin want.bin"},
        {"two runs at once into a file written in place: each ends whole", "setpriv",
         "mkdir ro && echo old >ro/out.bin && chmod 666 ro/out.bin && chmod 555 ro || fail set-up\n"
         "export LD_PRELOAD=$SWUG_TRICKLE; for i in 1 2 3 4 5 6 7 8 9 10; do as $A \"$SWUG_GEN\" in2.bin"
         " ro/out.bin & as $A \"$SWUG_GEN\" in.bin ro/out.bin || fail status $?\n"
         "  wait $! || fail status $?; cmp -s ro/out.bin want.bin || same ro/out.bin want2.bin; done"},
        {"an append-only folder: written in place, no entry left", "chattr",
         "mkdir ap && echo old >ap/out.bin && chattr +a ap 2>/dev/null || { echo no chattr +a; exit 77; }\n"
         "trap 'chattr -a ap' EXIT; run 0 in.bin ap/out.bin; run 0 in2.bin ap/new.bin\n"
         "same ap/out.bin want.bin; same ap/new.bin want2.bin; only ap new.bin out.bin"},
        {"a link to nothing: its target appears only by the rename, not after SIGKILL", "",
         "mkdir sub && ln -s sub/real.bin out.bin\n"
         "LD_PRELOAD=$SWUG_STALL \"$SWUG_GEN\" in.bin out.bin & trap 'kill -9 $! 2>/dev/null' EXIT\n"
         "temp_in sub\n"
         "[ -e sub/real.bin ] && fail real.bin during the write; kill -9 $!; wait $!\n"
         "[ -e sub/real.bin ] && fail real.bin after SIGKILL; rm sub/.swug-gen-*\n"
         "run 0 in.bin out.bin; same sub/real.bin want.bin; [ -L out.bin ] || fail link replaced"},
        {"a replacement's temporary file: 0600 while written, whatever the default ACL; created O_EXCL",
         "setfacl", "mkdir pv && echo old >pv/fw.bin && setfacl -d -m u:$A:rw pv || { echo no ACLs; exit 77; }\n"
         "LD_PRELOAD=$SWUG_STALL \"$SWUG_GEN\" in.bin pv/fw.bin & trap 'kill -9 $! 2>/dev/null' EXIT\n"
         "temp_in pv; t=$(ls -d pv/.swug-gen-*)\n"
         "as $A cat $t 2>/dev/null && fail $A read $t; getfacl -cn $t | grep -qx mask::--- || fail $t:"
         " $(getfacl -cn $t); kill $!; wait $!; echo old | same - pv/fw.bin || exit 1; only pv fw.bin\n"
         "echo secret >v && LD_PRELOAD=$SWUG_FAIL SWUG_FAIL_CALL=plant SWUG_SWAP_FROM=$PWD/v"
         " run 0 in.bin pv/fw.bin\n"
         "echo secret | same - v || exit 1; [ -L pv/fw.bin ] && fail link; same pv/fw.bin want.bin"},
        {"./ arguments: the working folder's parent swapped for a link once its path is known", "",
         "mkdir -p p/w o/w && cp in.bin p/w && cp in2.bin o/w/in.bin && ln -s o swap || fail set-up\n"
         "(cd p/w && LD_PRELOAD=$SWUG_FAIL SWUG_FAIL_CALL=swapcwd SWUG_SWAP_FROM=../../swap SWUG_SWAP_TO=../../p"
         " run 0 ./in.bin ./out.bin) || exit 1; same swap/w/out.bin want.bin; only o/w in.bin"},
        {"another user's links in a sticky folder, to a FIFO or swapped in at the open: never followed", "",
         "[ $(cat /proc/sys/fs/protected_symlinks) = 0 ] || { echo fs.protected_symlinks is on; exit 77; }\n"
         "mkdir -m 1777 tmp && mkdir a && mkfifo a/fifo && ln -s ../a/fifo tmp/link && ln -s ../made tmp/swap &&"
         " echo old >tmp/x && chown -Rh $A a tmp/link tmp/swap tmp/x || fail set-up\n"
         "as $A cat a/fifo >got & run 1 in.bin tmp/link; : >a/fifo; wait $!; [ -s got ] && fail $A got the image\n"
         "LD_PRELOAD=$SWUG_FAIL SWUG_FAIL_CALL=swap SWUG_SWAP_FROM=tmp/swap run 1 in.bin tmp/x\n"
         "[ ! -e made ] || fail made"},
        {"in place from the image, not from the temporary file: a file bind-mounted over itself", "",
         "mkdir t && mount -t tmpfs -o size=1m swug t && echo old >t/fw.bin && mount --bind t/fw.bin t/fw.bin"
         " || fail set-up\nrun 0 in2.bin t/fw.bin; same t/fw.bin want2.bin; only t fw.bin"},
        {"a changed group gets none of the old group's rights, a full attribute block no attribute lost",
         "setfacl setfattr mkfs.ext4",
         "mkdir -m 2777 sg && chgrp 1005 sg && echo old >sg/f && chown 1003:1003 sg/f && chmod 664 sg/f &&"
         " setfacl -m u:$B:rw sg/f || fail set-up\n"
         "as $B \"$SWUG_GEN\" in.bin sg/f || fail status $?\n"
         "as $A:1005 sh -c 'echo >>sg/f' 2>/dev/null && fail group 1005 may write sg/f\n"
         "same sg/f want.bin; truncate -s 64m x.img && mkfs.ext4 -q -b 4096 x.img && mkdir x && mount -o loop"
         " x.img x && echo old >x/f && setfattr -n user.big -v $(printf %02000d 0) x/f || fail set-up\n"
         "setfacl -d -m $(seq -s, -f u:%g:r 2000 2299) x; getfattr -d x/f >big; run 0 in.bin x/f\n"
         "getfattr -d x/f | cmp -s - big || fail the attributes are now $(getfattr -d x/f | cut -c1-40)"},
        {"power cuts right after status 0 (ext4 noauto_da_alloc, XFS): the images are there",
         "mkfs.ext4 mkfs.xfs",
         "cut() { truncate -s 320m $1.img && mkfs.$1 -q $1.img && mkdir $1 $1.c && mount -o loop,$2"
         " $1.img $1 && cp in2.bin $1/fw.bin && sync || fail set-up; run 0 in.bin $1/new.bin\n"
         " run 0 $1/fw.bin $1/fw.bin; cp --sparse=always $1.img $1.c.img; mount -o loop,$3"
         " $1.c.img $1.c || fail no copy; same $1.c/new.bin want.bin; same $1.c/fw.bin want2.bin; }\n"
         "cut ext4 noauto_da_alloc defaults; cut xfs defaults nouuid"},
    };
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    RunOptions opt; /* and the ASan options that a preloaded shim needs */
    opt.env = {"SWUG_GEN=" + GEN, "SWUG_STALL=" STALL_TEMP_WRITE_PATH,
               "SWUG_SWAP=" SWAP_TEMP_ENTRY_PATH, "SWUG_FAIL=" FAIL_OUTPUT_CALL_PATH,
               "SWUG_TRICKLE=" TRICKLE_WRITE_PATH, preload_env("")[1]};
    for (auto &row : rows) {
        OutputDir d;
        std::string in2 = pattern(600000, 4);
        write_file(d / "in2.bin", in2);
        write_file(d / "want.bin", reference_image(d.input));
        write_file(d / "want2.bin", reference_image(in2));
        RunResult r = run_program({"/usr/bin/unshare", "-m", "--", "/bin/sh", "-c",
                                   std::string(helpers) + row.script, row.tools}, d.path, opt);
        if (r.status == 77)
            std::cout << "skipped: " << row.what << ": " << r.out;
        else
            EXPECT_EQ(r.status, 0) << row.what << ": " << r.out;
    }
}
