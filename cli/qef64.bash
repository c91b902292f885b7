# bash completion for qef64(1): commands, their options, the formats, and
# file names where a file goes. Installed as
# share/bash-completion/completions/qef64, which bash-completion loads the
# first time qef64 is completed.

_qef64() {
  local cur prev words cword
  _init_completion -s || return

  local commands="build get dump warm help"
  local command="" i
  for ((i = 1; i < cword; i++)); do
    if [[ ${words[i]} != -* ]]; then
      command=${words[i]}
      break
    fi
  done

  if [[ -z $command ]]; then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W "--help --version" -- "$cur"))
    else
      COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    fi
    return
  fi

  case $command,$prev in
    build,--format | build,-f)
      COMPREPLY=($(compgen -W "framing tsv csv jsonl" -- "$cur"))
      return
      ;;
    dump,--format | dump,-f)
      COMPREPLY=($(compgen -W "framing tsv csv jsonl" -- "$cur"))
      return
      ;;
    build,--memory)
      COMPREPLY=($(compgen -W "16M 64M 256M 1G" -- "$cur"))
      return
      ;;
    get,--keys | get,-k)
      _filedir
      return
      ;;
  esac
  $split && return

  local options
  case $command in
    build)
      options="--format= --base64 --header --memory= --progress --no-progress --help"
      ;;
    get) options="--all --keys= --null --tsv --help" ;;
    dump) options="--format= --base64 --help" ;;
    warm) options="--tables --progress --no-progress --help" ;;
    help)
      COMPREPLY=($(compgen -W "build get dump warm" -- "$cur"))
      return
      ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
    return
  fi
  _filedir
} &&
  complete -F _qef64 qef64
