# bash completion for qx318: subcommands, their subcommands and options,
# file names after the options that take a file, and the options that take
# a fixed word. tests/docs/check_bash_completion.py holds the lists against
# the tool's --help.

_qx318_global_options="-p --port -b --baud -a --address --json --trace --simulate --no-progress -h --help --version"

# The subcommands under each command, by the command's words ("" is the top).
_qx318_subcommands() {
  case "$1" in
    "") echo "scan hello param measure lock image rotate angle demo" ;;
    param) echo "get set save restore" ;;
    angle) echo "get save restore" ;;
  esac
}

# The options of each command beyond the global ones.
_qx318_command_options() {
  case "$1" in
    scan) echo "--first --last" ;;
    "param set") echo "--verify" ;;
    measure) echo "--csv --every --count --duration --stop-on-failure --output --append --plot" ;;
    image) echo "-o --output" ;;
  esac
}

_qx318() {
  local cur prev command="" word i
  cur="${COMP_WORDS[COMP_CWORD]}"
  prev="${COMP_WORDS[COMP_CWORD - 1]}"

  # The command so far: the words that name subcommands, skipping options
  # and the values of the options that take one.
  for ((i = 1; i < COMP_CWORD; i++)); do
    word="${COMP_WORDS[i]}"
    case "$word" in
      -p | --port | -b | --baud | -a | --address | --first | --last | --every | --count | \
        --duration | --output | -o | --plot)
        ((i++))
        continue
        ;;
      -*) continue ;;
    esac
    if [[ " $(_qx318_subcommands "$command") " == *" $word "* ]]; then
      command="${command:+$command }$word"
    fi
  done

  case "$prev" in
    -p | --port)
      # Serial devices, then any file (a pseudo-terminal's link).
      COMPREPLY=($(compgen -W "$(compgen -G '/dev/ttyUSB*' ; compgen -G '/dev/ttyACM*')" -- "$cur"))
      COMPREPLY+=($(compgen -f -- "$cur"))
      return
      ;;
    --output | -o | --plot)
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
    -b | --baud)
      COMPREPLY=($(compgen -W "9600 19200 38400 57600 115200 230400 460800 921600" -- "$cur"))
      return
      ;;
    -a | --address | --first | --last | --every | --count | --duration)
      return
      ;;
  esac

  if [[ "$cur" == -* ]]; then
    COMPREPLY=($(compgen -W "$_qx318_global_options $(_qx318_command_options "$command")" -- "$cur"))
  else
    COMPREPLY=($(compgen -W "$(_qx318_subcommands "$command")" -- "$cur"))
  fi
}

complete -F _qx318 qx318
